// A program appending and editing records in a shared table with an open index, killed by
// SIGKILL before each step that changes the disk in turn: between a record and its header,
// between the record and the index pages, between two index pages. Afterwards the table
// opens with every record whose Append returned, and `norvane check` says of the index
// what a comparison with a fresh build says: sound, or damaged and then repaired by
// reindex.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "nv6_dbsy.h"
#include "nv6_os.h"
#include "nv_tree_check.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using tooltest::Result;
using tooltest::Tool;
using Format = tooltest::IndexFormat;

class KilledWriter : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        pristine_ = dir_.File("pristine");
        work_ = dir_.File("work");
        fresh_ = dir_.File("fresh");
        fs::create_directories(pristine_);
        const std::string table = pristine_ + "/k.dbf";
        ASSERT_EQ(Tool({"create", table, "--flavour", GetParam().flavour, "--fields", "ID C 4,NAME C 8"}).status, 0);
        std::string csv = "ID,NAME\n";
        // Enough keys for more than one page, so that appends split pages.
        for (int i = 1; i <= 120; ++i) csv += "P" + std::to_string(i) + "," + Name(i * 37) + "\n";
        ASSERT_EQ(Tool({"import", table, "--csv", "-"}, csv).status, 0);
        ASSERT_EQ(Tool({"index", table, "--file", pristine_ + "/" + GetParam().File("k"), "--tag", "NAME", "--key",
                        "NAME"})
                      .status,
                  0);
    }

    static std::string Name(int i) {
        std::string name(8, 'A');
        for (int k = 7; k >= 0 && i > 0; --k, i /= 26) name[static_cast<std::size_t>(k)] = static_cast<char>('A' + i % 26);
        return name;
    }

    // Appends six records and edits two, telling `report` the ID of each append that
    // returned.
    void Run(int report) {
        NVO_dBHandler t(work_ + "/k.dbf", true, true, "");
        t.OpenIndexFiles(work_ + "/" + GetParam().File("k"), GetParam().compound ? "NAME" : "K");
        for (int i = 1; i <= 6; ++i) {
            const std::string id = "N" + std::to_string(i);
            t.BlankRecord();
            t.PutRawByName("ID", id);
            t.PutRawByName("NAME", Name(i * 1009));
            t.Append();
            if (report >= 0 && ::write(report, (id + "\n").data(), id.size() + 1) < 0) ::_exit(5);
            if (i % 3 == 0) {
                const int32_t record = 10 * i;
                t.SetOrder("", true);
                t.Go(record);
                if (!t.LockRecord()) ::_exit(6);
                t.PutRawByName("NAME", Name(record * 5));
                t.WriteRecord(record);
                t.Unlock();
            }
        }
    }

    void Restore() {
        std::error_code ec;
        fs::remove_all(work_, ec);
        fs::remove_all(fresh_, ec);
        fs::copy(pristine_, work_);
    }

    // (key, record) pairs of every tag of `index`, sorted; false when the trees do not
    // read sound from their bytes.
    static bool Entries(const std::string& index, std::vector<std::pair<std::string, int32_t>>& out) {
        const nvtest::TreeFileReport report = nvtest::CheckIndexTrees(index);
        out.clear();
        for (const nvtest::TreeReport& tag : report.tags)
            for (const nvtest::TreeEntry& e : tag.entries) out.emplace_back(tag.KeyText(e), e.record);
        std::sort(out.begin(), out.end());
        return report.Ok();
    }

    // Whether check's report has no problem with `index`: each of its lines about the file
    // ends in "ok".
    static bool IndexSound(const Result& checked, const std::string& index) {
        if (checked.status == 2) return false;
        for (const std::string& line : tooltest::LinesStarting(checked.out, index))
            if (line.size() < 2 || line.substr(line.size() - 2) != "ok") return false;
        return !tooltest::LinesStarting(checked.out, index).empty();
    }

    nvtest::ScratchDir dir_;
    std::string pristine_, work_, fresh_;
};

TEST_P(KilledWriter, LeavesEveryReturnedAppendAndAnIndexCheckJudgesRightly) {
    Restore();
    NvFaultPlatform counter;
    {
        NvPlatformScope use(counter);
        Run(-1);
    }
    const int steps = counter.Steps();
    ASSERT_GT(steps, 10);
    const std::string table = work_ + "/k.dbf", index = work_ + "/" + GetParam().File("k");
    int damaged = 0;
    for (int n = 1; n <= steps; ++n) {
        SCOPED_TRACE("killed before step " + std::to_string(n) + " of " + std::to_string(steps));
        Restore();
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipe[0]);
            NvFaultPlatform faults;
            faults.KillAtStep(n);
            NvPlatformScope use(faults);
            try {
                Run(pipe[1]);
            } catch (...) {
                ::_exit(4);
            }
            ::_exit(0);
        }
        ::close(pipe[1]);
        std::string returned;
        char buffer[256];
        for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;) returned.append(buffer, std::size_t(got));
        ::close(pipe[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

        // Every append that returned is in the table, once.
        std::map<std::string, int> ids;
        {
            NVO_dBHandler t(table, true, false, "");
            for (int32_t r = 1; r <= t.RecordCount(); ++r) {
                t.Go(r);
                std::string id = t.GetRawByName("ID");
                id.erase(id.find_last_not_of(' ') + 1);
                ++ids[id];
            }
        }
        for (std::size_t at = 0, end; (end = returned.find('\n', at)) != std::string::npos; at = end + 1)
            EXPECT_EQ(ids[returned.substr(at, end - at)], 1) << returned.substr(at, end - at);

        // check against our own comparison with a fresh build of the same table.
        fs::create_directories(fresh_);
        fs::copy_file(table, fresh_ + "/k.dbf");
        ASSERT_EQ(Tool({"index", fresh_ + "/k.dbf", "--file", fresh_ + "/" + GetParam().File("k"), "--tag", "NAME",
                        "--key", "NAME"})
                      .status,
                  0);
        std::vector<std::pair<std::string, int32_t>> kept, wanted;
        const bool sound = Entries(index, kept);
        ASSERT_TRUE(Entries(fresh_ + "/" + GetParam().File("k"), wanted));
        const bool same = sound && kept == wanted;
        std::string difference;
        for (const nvtest::TreeReport& tag : nvtest::CheckIndexTrees(index).tags) difference += tag.Problems();
        for (const std::string& p : nvtest::CheckIndexTrees(index).problems) difference += p + "\n";
        for (std::size_t i = 0; i < std::max(kept.size(), wanted.size()) && difference.size() < 400; ++i)
            if (i >= kept.size() || i >= wanted.size() || kept[i] != wanted[i])
                difference += "entry " + std::to_string(i) + ": " + (i < kept.size() ? kept[i].first : "-") + " " +
                              std::to_string(i < kept.size() ? kept[i].second : 0) + " against fresh " +
                              (i < wanted.size() ? wanted[i].first : "-") + "\n";
        Result checked = Tool({"check", table, "--index", index});
        EXPECT_EQ(IndexSound(checked, index), same)
            << (same ? "check finds damage a fresh build does not show:\n" : "check misses damage:\n") << difference
            << checked.out
            << checked.err;
        // A kill between a record and the header leaves the header one short; check says
        // so, and the next append of any program counts again from the file.
        EXPECT_EQ(checked.status, same && checked.out.find("the file's size") == std::string::npos ? 0 : 1)
            << checked.out << checked.err;
        if (same) continue;
        ++damaged;
        Result repaired = Tool({"reindex", table, "--index", index});
        EXPECT_EQ(repaired.status, 0) << repaired.err;
        Result again = Tool({"check", table, "--index", index});
        EXPECT_TRUE(IndexSound(again, index)) << again.out << again.err;
        if (HasFailure()) return;
    }
    // Most kills fall between a record and its keys: the comparison must have had damage to judge.
    EXPECT_GT(damaged, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, KilledWriter, ::testing::ValuesIn(tooltest::kIndexFormats),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
