// The one way the program asks a person something or shows an error.
//
// Every message box, file dialog and font dialog goes through the current TAsker. The
// program runs with TDialogAsker, which shows Qt's own dialogs; tests install an asker that
// answers from a script, so that no test ever waits for a person. The asker is not owned by
// whoever installs it and must outlive its use. One thread: the user-interface thread.
#pragma once

#include <QFont>
#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

// What a file dialog is asked for. `fileName` is the initial name ("*.dbf"), `directory`
// where the dialog starts (empty: the current folder).
struct TFileQuestion {
    QString title;
    QString directory;
    QString fileName;
    QString filter;         // Qt filter text, "xBase File (*.dbf *.DBF)"
    QString defaultSuffix;  // added when the chosen name has none ("DBF")
};

class TAsker {
public:
    virtual ~TAsker() = default;
    // A message box with the given buttons; returns the button chosen (the escape button
    // when the box is closed otherwise).
    virtual QMessageBox::StandardButton Message(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                                const QString& text, QMessageBox::StandardButtons buttons) = 0;
    // The open dialog; the chosen path, empty when cancelled.
    virtual QString OpenFile(QWidget* parent, const TFileQuestion& question) = 0;
    // The save dialog; the chosen path, empty when cancelled. It never asks its own
    // overwrite question: the program asks that itself where it matters.
    virtual QString SaveFile(QWidget* parent, const TFileQuestion& question) = 0;
    // An open dialog that also takes the name of a file that does not exist yet and adds no
    // suffix of its own (`defaultSuffix` is not used); `question.filter` holds name filters
    // separated by ";;". The chosen path, empty when cancelled; `filterIndex` is the
    // position of the filter in force when it was confirmed, from 1.
    virtual QString OpenNewFile(QWidget* parent, const TFileQuestion& question, int& filterIndex) = 0;
    // The font dialog, starting at `font`; false when cancelled (then `font` is unchanged).
    virtual bool ChooseFont(QWidget* parent, QFont& font) = 0;
    // The program's error display: one box with the message and an OK button.
    virtual void ShowError(QWidget* parent, const QString& message) = 0;
};

// The asker of the real program: Qt's dialogs.
class TDialogAsker : public TAsker {
public:
    QMessageBox::StandardButton Message(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                        const QString& text, QMessageBox::StandardButtons buttons) override;
    QString OpenFile(QWidget* parent, const TFileQuestion& question) override;
    QString SaveFile(QWidget* parent, const TFileQuestion& question) override;
    QString OpenNewFile(QWidget* parent, const TFileQuestion& question, int& filterIndex) override;
    bool ChooseFont(QWidget* parent, QFont& font) override;
    void ShowError(QWidget* parent, const QString& message) override;
};

// The asker in use: the one installed last, else a TDialogAsker.
TAsker& Asker();
// Installs `asker` (null: back to the dialogs). Not owned.
void SetAsker(TAsker* asker);

// Runs `action` and shows any exception it raises through Asker().ShowError, so that no
// exception ever crosses Qt's own code (slots, timers, events, painting). Returns whether
// the action ended without an exception. A quiet abort (EAbort) shows nothing.
bool Guarded(QWidget* parent, const std::function<void()>& action);
