// An asker for tests: answers come from a queue the test fills before it acts, and every
// question is recorded, so a test can say what the program asked and what it was told.
// A question with no answer queued fails the test and gets the cancel answer, so a missing
// answer can never hang a run.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <deque>

#include "asker.h"

class TScriptedAsker : public TAsker {
public:
    TScriptedAsker() { SetAsker(this); }
    ~TScriptedAsker() override { SetAsker(nullptr); }

    // Answers in the order the questions come; one queue for every kind of question. A
    // file answer's filter index is what OpenNewFile reports.
    void AnswerButton(QMessageBox::StandardButton b) { answers_.push_back({Kind::Button, b, {}, {}}); }
    void AnswerFile(const QString& path, int filterIndex = 1) {
        answers_.push_back({Kind::File, {}, path, {}, filterIndex});
    }
    void CancelFile() { AnswerFile(QString()); }
    void AnswerFont(const QFont& font) { answers_.push_back({Kind::Font, {}, {}, font}); }

    // What was asked: "message: TEXT", "open: TITLE", "save: TITLE", "font", "error: TEXT".
    QStringList asked;
    // The texts of the errors shown.
    QStringList errors;
    // The last file question, for its title, filter and initial name.
    TFileQuestion lastFileQuestion;
    bool AllAnswered() const { return answers_.empty(); }

    QMessageBox::StandardButton Message(QWidget*, QMessageBox::Icon, const QString&, const QString& text,
                                        QMessageBox::StandardButtons) override {
        asked << "message: " + text;
        const Answer a = Take(Kind::Button, text);
        return a.kind == Kind::Button ? a.button : QMessageBox::Cancel;
    }
    QString OpenFile(QWidget*, const TFileQuestion& q) override { return File("open: ", q); }
    QString SaveFile(QWidget*, const TFileQuestion& q) override { return File("save: ", q); }
    QString OpenNewFile(QWidget*, const TFileQuestion& q, int& filterIndex) override {
        return File("open: ", q, &filterIndex);
    }
    bool ChooseFont(QWidget*, QFont& font) override {
        asked << "font";
        const Answer a = Take(Kind::Font, "font dialog");
        if (a.kind != Kind::Font) return false;
        font = a.font;
        return true;
    }
    void ShowError(QWidget*, const QString& message) override {
        asked << "error: " + message;
        errors << message;
    }

private:
    enum class Kind { None, Button, File, Font };
    struct Answer {
        Kind kind = Kind::None;
        QMessageBox::StandardButton button = QMessageBox::Cancel;
        QString path;
        QFont font;
        int filterIndex = 1;
    };
    Answer Take(Kind kind, const QString& what) {
        if (answers_.empty() || answers_.front().kind != kind) {
            ADD_FAILURE() << "unexpected question: " << what.toStdString();
            return {};
        }
        Answer a = answers_.front();
        answers_.pop_front();
        return a;
    }
    QString File(const char* prefix, const TFileQuestion& q, int* filterIndex = nullptr) {
        asked << prefix + q.title;
        lastFileQuestion = q;
        const Answer a = Take(Kind::File, q.title);
        if (filterIndex) *filterIndex = a.filterIndex;
        return a.kind == Kind::File ? a.path : QString();
    }
    std::deque<Answer> answers_;
};
