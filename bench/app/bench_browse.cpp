// The browse window on a million-record table, headless: from the open call (File > Open,
// the table chosen) to the grid showing the last record after Ctrl+End, with everything the
// windows do on the way (the structure view, the browse window, painting). The table is
// made once; NORVANE_BENCH_RECORDS sets another size (the suite's smoke run uses a small one).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "asker.h"
#include "browser.h"
#include "dbgrid.h"
#include "mainform.h"
#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv6_disk.h"

namespace {

const int32_t kRecords = [] {
    const char* text = std::getenv("NORVANE_BENCH_RECORDS");
    const long n = text ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<int32_t>(n) : 1000000;
}();

// NAME C 20, CITY C 15, AMOUNT N 12 2: a table of the usual width, in a folder of its own.
std::string Table(const QTemporaryDir& dir) {
    const std::string path = dir.filePath("browse.dbf").toStdString();
    {
        NVO_DBFoxBuild build(path);
        build.AddField("NAME", "C", 20, 0);
        build.AddField("CITY", "C", 15, 0);
        build.AddField("AMOUNT", "N", 12, 2);
        build.Build();
    }
    NVO_dBHandler t(path, false, true, "");
    NvWriteBehindScope bulk(&t);
    for (int32_t n = 1; n <= kRecords; ++n) {
        t.BlankRecord();
        t.PutRaw(1, "Name " + std::to_string(n));
        t.PutRaw(2, "City " + std::to_string(n % 997));
        t.SetNumber(3, static_cast<long double>(n % 100000) / 100);
        t.Append();
    }
    bulk.Finish();
    return path;
}

// A benchmark has nobody to answer: the open dialog is answered with the table, and any
// other question or an error ends the run with its text.
class TNobodyAsker : public TAsker {
public:
    QString table;
    QString said;
    QMessageBox::StandardButton Message(QWidget*, QMessageBox::Icon, const QString&, const QString& text,
                                        QMessageBox::StandardButtons) override {
        said = text;
        return QMessageBox::Cancel;
    }
    QString OpenFile(QWidget*, const TFileQuestion&) override { return table; }
    QString SaveFile(QWidget*, const TFileQuestion&) override { return {}; }
    QString OpenNewFile(QWidget*, const TFileQuestion&, int&) override { return {}; }
    bool ChooseFont(QWidget*, QFont&) override { return false; }
    void ShowError(QWidget*, const QString& message) override { said = message; }
};

void BM_BrowseWindowToLast(benchmark::State& state) {
    QTemporaryDir dir;
    const std::string path = Table(dir);
    TNobodyAsker asker;
    asker.table = QString::fromLocal8Bit(path.c_str());
    SetAsker(&asker);
    for (auto _ : state) {
        state.PauseTiming();
        auto form = std::make_unique<TMainForm>();
        form->show();
        QApplication::processEvents();
        QAction* open = form->findChild<QAction*>("muOpenDBF");
        QAction* browse = form->findChild<QAction*>("muBrowse");
        state.ResumeTiming();
        if (open) open->trigger();
        if (!browse || !browse->isEnabled()) {
            state.SkipWithError(asker.said.isEmpty() ? "the table did not open" : asker.said.toStdString().c_str());
            break;
        }
        browse->trigger();
        TDBGrid* grid = form->BrowseForm() ? form->BrowseForm()->grdDBF() : nullptr;
        if (!grid) {
            state.SkipWithError("no browse window");
            break;
        }
        QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
        grid->repaint();
        if (!asker.said.isEmpty()) {
            state.SkipWithError(asker.said.toStdString().c_str());
            break;
        }
        if (form->ActiveTable().RecNo() != kRecords) {
            state.SkipWithError("not on the last record");
            break;
        }
        state.PauseTiming();
        form.reset();
        state.ResumeTiming();
    }
    SetAsker(nullptr);
}
BENCHMARK(BM_BrowseWindowToLast)->Unit(benchmark::kMillisecond);

}  // namespace

// The application object lives on main's stack, so that Qt is torn down before the exit
// handlers run; the program's settings stay out of the user's.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetUpProgram();
    QTemporaryDir settings;
    TMainForm::SetSettingsFile(settings.filePath("pelmora.ini"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
