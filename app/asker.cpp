#include "asker.h"

#include <QFileDialog>
#include <QFontDialog>
#include <exception>

#include "db_consts.h"
#include "qtext.h"

namespace {
TAsker* installed = nullptr;

QString RunFileDialog(QWidget* parent, const TFileQuestion& question, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent, question.title, question.directory, question.filter);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!question.defaultSuffix.isEmpty()) dialog.setDefaultSuffix(question.defaultSuffix);
    if (!question.fileName.isEmpty()) dialog.selectFile(question.fileName);
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.front();
}
}  // namespace

QMessageBox::StandardButton TDialogAsker::Message(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                                  const QString& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, caption, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString TDialogAsker::OpenFile(QWidget* parent, const TFileQuestion& question) {
    return RunFileDialog(parent, question, QFileDialog::AcceptOpen);
}

QString TDialogAsker::SaveFile(QWidget* parent, const TFileQuestion& question) {
    return RunFileDialog(parent, question, QFileDialog::AcceptSave);
}

QString TDialogAsker::OpenNewFile(QWidget* parent, const TFileQuestion& question, int& filterIndex) {
    QFileDialog dialog(parent, question.title, question.directory, question.filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!question.fileName.isEmpty()) dialog.selectFile(question.fileName);
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return QString();
    filterIndex = static_cast<int>(dialog.nameFilters().indexOf(dialog.selectedNameFilter())) + 1;
    if (filterIndex < 1) filterIndex = 1;
    return files.front();
}

bool TDialogAsker::ChooseFont(QWidget* parent, QFont& font) {
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, font, parent);
    if (ok) font = chosen;
    return ok;
}

void TDialogAsker::ShowError(QWidget* parent, const QString& message) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Pelmora"), message, QMessageBox::Ok, parent);
    box.exec();
}

TAsker& Asker() {
    static TDialogAsker dialogs;
    return installed ? *installed : dialogs;
}

void SetAsker(TAsker* asker) { installed = asker; }

bool Guarded(QWidget* parent, const std::function<void()>& action) {
    try {
        action();
        return true;
    } catch (const EAbort&) {
        return false;
    } catch (const Exception& e) {
        // Engine and record-set messages carry file names and values in the table's
        // single-byte text.
        Asker().ShowError(parent, FromAnsi(e.Message()));
    } catch (const std::exception& e) {
        Asker().ShowError(parent, QString::fromLocal8Bit(e.what()));
    } catch (...) {
        Asker().ShowError(parent, QStringLiteral("Unexpected error"));
    }
    return false;
}
