// Whole-table maintenance (pack, zap, reindex, password change) interrupted at every step
// that changes the disk: by a failing call (each kind in turn: create, write, short write,
// rename, delete, truncate, flush) and by killing the process there. Afterwards the old or
// the new table must be complete under the table's name or a name beginning with it, its
// indexes sound or found damaged by check and repaired by reindex, and a failure must have
// reached the caller.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nv6_dbsy.h"
#include "nv6_os.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using tooltest::Result;
using tooltest::Tool;
using Format = tooltest::IndexFormat;

enum class Op { Pack, Zap, Reindex, Password };

const char* OpName(Op op) {
    switch (op) {
    case Op::Pack: return "pack";
    case Op::Zap: return "zap";
    case Op::Reindex: return "reindex";
    case Op::Password: return "password";
    }
    return "";
}

// Kinds of injected failure, swept one after the other.
struct FaultKind {
    const char* name;
    NvOsOp op;
    NvFault fault;
};

const FaultKind kFaultKinds[] = {
    {"create", NvOsOp::Create, NvFault::Fail},   {"write", NvOsOp::Write, NvFault::Fail},
    {"short write", NvOsOp::Write, NvFault::Short}, {"rename", NvOsOp::Rename, NvFault::Fail},
    {"delete", NvOsOp::Unlink, NvFault::Fail},   {"truncate", NvOsOp::Truncate, NvFault::Fail},
    {"flush", NvOsOp::Fsync, NvFault::Fail},
};

class CrashMaintenance : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        pristine_ = dir_.File("pristine");
        work_ = dir_.File("work");
        fs::create_directories(pristine_);
        MakeTable(pristine_);
    }

    std::string Table(const std::string& folder) const { return folder + "/t.dbf"; }
    std::string Index(const std::string& folder) const { return folder + "/" + GetParam().File("t"); }

    void MakeTable(const std::string& folder) {
        const Format& f = GetParam();
        const std::string table = Table(folder);
        ASSERT_EQ(Tool({"create", table, "--flavour", f.flavour, "--fields", "NAME C 12,QTY N 5 0,NOTES M"}).status, 0);
        std::string csv = "NAME,QTY,NOTES\n";
        for (int i = 1; i <= 14; ++i) {
            csv += "name" + std::to_string((i * 7) % 15) + "," + std::to_string(i * 3) + ",";
            if (i % 3 != 0) csv += "note " + std::string(static_cast<std::size_t>(i * 40), char('a' + i));
            csv += "\n";
        }
        Result imported = Tool({"import", table, "--csv", "-"}, csv);
        ASSERT_EQ(imported.status, 0) << imported.err;
        if (f.compound) {
            ASSERT_EQ(Tool({"index", table, "--file", Index(folder), "--tag", "NAME", "--key", "NAME"}).status, 0);
            ASSERT_EQ(Tool({"index", table, "--file", Index(folder), "--tag", "QTY", "--key", "STR(QTY,5)+NAME",
                            "--descending"})
                          .status,
                      0);
        } else {
            ASSERT_EQ(Tool({"index", table, "--file", Index(folder), "--tag", "T", "--key", "NAME"}).status, 0);
        }
        {
            NVO_dBHandler cursor(table, false, true, "");
            ASSERT_EQ(cursor.OpenIndex(Index(folder)), 0);
            for (int r : {2, 5, 6, 11}) {
                cursor.Go(r);
                cursor.DeleteRecord();
            }
        }
    }

    void Restore() {
        std::error_code ec;
        fs::remove_all(work_, ec);
        fs::copy(pristine_, work_);
    }

    std::vector<std::string> OpWords(Op op) const {
        const std::string table = Table(work_);
        switch (op) {
        case Op::Pack: return {"pack", table, "--index", Index(work_)};
        case Op::Zap: return {"zap", table, "--index", Index(work_), "--yes"};
        case Op::Reindex: return {"reindex", table, "--index", Index(work_)};
        case Op::Password: return {"password", table, "--new", "pw", "--index", Index(work_)};
        }
        return {};
    }

    std::string NewPassword(Op op) const { return op == Op::Password ? "pw" : ""; }

    // The rows of `table` read with `password`, or "" when it cannot be read.
    static std::string Rows(const std::string& table, const std::string& password, bool* readable = nullptr) {
        std::vector<std::string> words = {"dump", table};
        if (!password.empty()) words.insert(words.end(), {"--password", password});
        Result r = Tool(words);
        if (readable) *readable = r.status == 0;
        return r.status == 0 ? tooltest::RowLines(r.out) : std::string();
    }

    // What the operation leaves when nothing goes wrong, and the counts of its calls.
    void Reference(Op op) {
        Restore();
        oldRows_ = Rows(Table(work_), "");
        ASSERT_FALSE(oldRows_.empty());
        NvFaultPlatform counter;
        Result r;
        {
            NvPlatformScope use(counter);
            r = Tool(OpWords(op));
        }
        ASSERT_EQ(r.status, 0) << r.err;
        newRows_ = Rows(Table(work_), NewPassword(op));
        ASSERT_FALSE(op != Op::Zap && newRows_.empty());
        steps_ = counter.Steps();
        for (std::size_t k = 0; k < std::size(kFaultKinds); ++k) calls_[k] = counter.Calls(kFaultKinds[k].op);
    }

    // The state after an interrupted `op`; `what` says which interruption, for messages.
    void ExpectRecoverable(Op op, const std::string& what, bool finished) {
        const std::string table = Table(work_);
        const std::string newPassword = NewPassword(op);
        std::string password;
        std::string rows;
        bool readable = false;
        for (const std::string& p : {std::string(), newPassword}) {
            rows = Rows(table, p, &readable);
            if (readable) {
                password = p;
                break;
            }
        }
        const bool isOld = readable && rows == oldRows_ && password.empty();
        const bool isNew = readable && rows == newRows_ && password == newPassword;
        if (finished) {
            EXPECT_TRUE(isNew) << what << ": finished without an error but the table is not the new one";
        }
        if (!isOld && !isNew) {
            // The table is gone from its name: a complete copy must be under a name that
            // begins with the table's.
            bool found = false;
            for (const auto& entry : fs::directory_iterator(work_)) {
                const std::string name = entry.path().filename().string();
                if (name.rfind("t.", 0) != 0 || name.size() < 5 || name.substr(name.size() - 4) != ".dbf") continue;
                for (const std::string& p : {std::string(), newPassword}) {
                    bool ok = false;
                    const std::string other = Rows(entry.path().string(), p, &ok);
                    if (ok && ((other == oldRows_ && p.empty()) || (other == newRows_ && p == newPassword)))
                        found = true;
                }
            }
            if (!fs::exists(table)) {
                const Result told = Tool({"info", table});
                EXPECT_NE(told.err.find("rename them back"), std::string::npos)
                    << what << ": the tool does not point to the table set aside: " << told.err;
            }
            EXPECT_TRUE(found) << what << ": neither the old nor the new table is complete under a name "
                               << "a user can find; t.dbf reads as:\n"
                               << rows;
            return;
        }
        // The indexes: sound, or found damaged and repaired by reindex.
        std::vector<std::string> pw;
        if (!password.empty()) pw = {"--password", password};
        std::vector<std::string> check = {"check", table, "--index", Index(work_)};
        check.insert(check.end(), pw.begin(), pw.end());
        Result checked = Tool(check);
        if (finished) {
            EXPECT_EQ(checked.status, 0) << what << ": " << checked.out << checked.err;
        }
        if (checked.status == 0) return;
        std::vector<std::string> reindex = {"reindex", table, "--index", Index(work_)};
        reindex.insert(reindex.end(), pw.begin(), pw.end());
        Result repaired = Tool(reindex);
        EXPECT_EQ(repaired.status, 0) << what << ": reindex cannot repair what check reported:\n"
                                      << checked.out << checked.err << repaired.err;
        Result again = Tool(check);
        EXPECT_EQ(again.status, 0) << what << ": still damaged after reindex:\n" << again.out << again.err;
    }

    void SweepFaults(Op op) {
        Reference(op);
        for (std::size_t k = 0; k < std::size(kFaultKinds); ++k) {
            const FaultKind& kind = kFaultKinds[k];
            for (int n = 1; n <= calls_[k]; ++n) {
                Restore();
                NvFaultPlatform faults;
                faults.Fail(kind.op, n, ENOSPC, kind.fault);
                Result r;
                {
                    NvPlatformScope use(faults);
                    r = Tool(OpWords(op));
                }
                const std::string what = std::string(OpName(op)) + " with " + kind.name + " " + std::to_string(n) +
                                         " failing";
                if (r.status != 0) {
                    EXPECT_EQ(r.status, 2) << what;
                    EXPECT_FALSE(r.err.empty()) << what;
                } else if (kind.fault == NvFault::Fail && kind.op != NvOsOp::Unlink) {
                    ADD_FAILURE() << what << ": the failure did not reach the caller";
                }
                ExpectRecoverable(op, what, r.status == 0);
                if (HasFailure()) return;
            }
        }
    }

    void SweepKills(Op op) {
        Reference(op);
        for (int n = 1; n <= steps_; ++n) {
            Restore();
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                NvFaultPlatform faults;
                faults.KillAtStep(n);
                NvPlatformScope use(faults);
                Result r = Tool(OpWords(op));
                ::_exit(r.status == 0 ? 0 : 3);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                << OpName(op) << " killed at step " << n << " of " << steps_ << " was not killed (status " << status
                << ")";
            ExpectRecoverable(op, std::string(OpName(op)) + " killed at step " + std::to_string(n), false);
            if (HasFailure()) return;
        }
    }

    nvtest::ScratchDir dir_;
    std::string pristine_, work_;
    std::string oldRows_, newRows_;
    int steps_ = 0;
    int calls_[std::size(kFaultKinds)] = {};
};

TEST_P(CrashMaintenance, PackSurvivesEveryFailureAndKill) {
    SweepFaults(Op::Pack);
    SweepKills(Op::Pack);
}

TEST_P(CrashMaintenance, ZapSurvivesEveryFailureAndKill) {
    SweepFaults(Op::Zap);
    SweepKills(Op::Zap);
}

TEST_P(CrashMaintenance, ReindexSurvivesEveryFailureAndKill) {
    SweepFaults(Op::Reindex);
    SweepKills(Op::Reindex);
}

TEST_P(CrashMaintenance, PasswordChangeSurvivesEveryFailureAndKill) {
    SweepFaults(Op::Password);
    SweepKills(Op::Password);
}

INSTANTIATE_TEST_SUITE_P(Formats, CrashMaintenance, ::testing::ValuesIn(tooltest::kIndexFormats),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
