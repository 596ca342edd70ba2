// The progress of long engine operations (index builds, pack, copies): a modal dialog with
// the phase and a bar. It appears only when an operation has run for a while (half a second)
// and is updated at most every 50 ms; between those updates the program's windows are
// painted by processing the waiting events, input excluded. The engine is not re-entrant:
// while an operation runs EngineBusy() is true and the program's timers leave the table
// alone. The delay and the clock are settable so that tests can see the dialog.
#pragma once

#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

class QProgressDialog;
class QWidget;

// True while an engine operation reports progress (from its first report to its end).
bool EngineBusy();

class TProgressReporter {
public:
    explicit TProgressReporter(QWidget* parent);
    ~TProgressReporter();
    TProgressReporter(const TProgressReporter&) = delete;
    TProgressReporter& operator=(const TProgressReporter&) = delete;

    // The record set's status report: (-1, kind, total) starts a phase, (kind, position, 0)
    // is a step, (0, 0, 0) ends a phase. The operation ends when control returns to the
    // event loop after a phase ended without a new one starting, or with Finish.
    void Report(int32_t stat1, int32_t stat2, int32_t stat3);
    // Closes the dialog and ends the operation.
    void Finish();

    // Milliseconds before the dialog appears (500) and between its updates (50).
    void SetDelay(int milliseconds) { delay_ = milliseconds; }
    void SetInterval(int milliseconds) { interval_ = milliseconds; }
    // A clock in milliseconds (default: a monotonic one).
    void SetClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

    // The dialog while it is shown, else null.
    QProgressDialog* Dialog() const { return dialog_; }
    // What the dialog showed at each update, for tests.
    struct Shown {
        QString phase;
        int value;
        int maximum;
        int64_t at;  // the clock then, from the operation's first report
    };
    const std::vector<Shown>& History() const { return history_; }

    // "Reading records" (1), "Writing keys" (2), "Copying records" (6), else "Working".
    static QString PhaseText(int kind);

private:
    void Update(bool force);

    QWidget* parent_;
    QProgressDialog* dialog_ = nullptr;
    QTimer endTimer_;
    std::function<int64_t()> clock_;
    int delay_ = 500;
    int interval_ = 50;
    bool running_ = false;
    int64_t started_ = 0;
    int64_t lastUpdate_ = 0;
    int kind_ = 0;
    int total_ = 0;
    int position_ = 0;
    std::vector<Shown> history_;
};
