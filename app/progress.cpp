#include "progress.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressDialog>

namespace {

int busyCount = 0;

int64_t MonotonicMilliseconds() {
    static QElapsedTimer timer;
    if (!timer.isValid()) timer.start();
    return timer.elapsed();
}

}  // namespace

bool EngineBusy() { return busyCount > 0; }

TProgressReporter::TProgressReporter(QWidget* parent) : parent_(parent), clock_(MonotonicMilliseconds) {
    endTimer_.setSingleShot(true);
    endTimer_.setInterval(0);
    QObject::connect(&endTimer_, &QTimer::timeout, [this] { Finish(); });
}

TProgressReporter::~TProgressReporter() {
    if (running_) --busyCount;
    delete dialog_;
}

QString TProgressReporter::PhaseText(int kind) {
    switch (kind) {
        case 1: return "Reading records";
        case 2: return "Writing keys";
        case 6: return "Copying records";
        default: return "Working";
    }
}

void TProgressReporter::Report(int32_t stat1, int32_t stat2, int32_t stat3) {
    if (stat1 == 0 && stat2 == 0 && stat3 == 0) {
        // Another phase may follow at once; if none does, the operation is over.
        if (running_) endTimer_.start();
        return;
    }
    endTimer_.stop();
    if (!running_) {
        running_ = true;
        ++busyCount;
        started_ = clock_();
        lastUpdate_ = started_ - interval_;
    }
    if (stat1 == -1) {
        kind_ = stat2;
        total_ = stat3 > 0 ? stat3 : 0;
        position_ = 0;
        Update(true);
        return;
    }
    kind_ = stat1;
    position_ = stat2;
    Update(false);
}

void TProgressReporter::Update(bool force) {
    const int64_t now = clock_();
    if (now - started_ < delay_) return;
    if (!force && now - lastUpdate_ < interval_) return;
    lastUpdate_ = now;
    if (!dialog_) {
        dialog_ = new QProgressDialog(parent_);
        dialog_->setObjectName("ProgressDialog");
        dialog_->setWindowTitle("Pelmora");
        dialog_->setWindowModality(Qt::ApplicationModal);
        dialog_->setCancelButton(nullptr);
        dialog_->setMinimumDuration(0);
        dialog_->setAutoClose(false);
        dialog_->setAutoReset(false);
        dialog_->setMinimumWidth(320);
    }
    const int maximum = total_ > 0 ? total_ : 0;
    const int value = maximum > 0 ? std::min(position_, maximum) : 0;
    dialog_->setLabelText(PhaseText(kind_));
    dialog_->setMaximum(maximum);
    dialog_->setValue(value);
    if (!dialog_->isVisible()) dialog_->show();
    history_.push_back({PhaseText(kind_), value, maximum, now - started_});
    // Keeps the windows painted; input waits until the operation is over.
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TProgressReporter::Finish() {
    endTimer_.stop();
    if (running_) --busyCount;
    running_ = false;
    if (dialog_) {
        dialog_->hide();
        dialog_->deleteLater();
        dialog_ = nullptr;
    }
}
