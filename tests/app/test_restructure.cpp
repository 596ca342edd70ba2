// The restructure copy on its own: how values travel between fields of other types and
// lengths, and the file exchange between memo kinds and over the backups of an earlier run.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <sstream>

#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_os.h"
#include "restructure.h"
#include "nv_test_md5.h"
#include "nv_test_tags.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

struct Field {
    const char* name;
    const char* type;
    int length, decimals;
};

void Build(NVO_DBFBuild& build, std::initializer_list<Field> fields) {
    for (const Field& f : fields) build.AddField(f.name, f.type, f.length, f.decimals);
    build.Build();
}

void PutMemo(NVO_dBHandler& t, const char* field, const std::string& text) {
    const int n = t.FieldNumber(field);
    t.SetNumber(n, t.WriteMemo(n, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size())));
}

struct RestructureCopy : ::testing::Test {
    nvtest::ScratchDir dir;
    std::vector<std::string> log;
    TRestructureJob Job(const std::string& table, const std::string& built, std::vector<int> map) {
        TRestructureJob job;
        job.oldPath = dir.File(table);
        job.newPath = dir.File(built);
        job.fieldMap = std::move(map);
        job.log = [this](const std::string& line) { log.push_back(line); };
        return job;
    }
};

TEST_F(RestructureCopy, ValuesFollowTheirFieldsAcrossTypesAndLengths) {
    {
        NVO_DBFBuild old(dir.File("old.dbf"));  // dBase III, .dbt memo
        Build(old, {{"TEXT", "C", 12, 0}, {"PRICE", "N", 6, 2}, {"NOTES", "M", 10, 0}, {"WHEN", "D", 8, 0}});
    }
    {
        NVO_dBHandler t(dir.File("old.dbf"), false, true, "");
        t.BlankRecord();
        t.PutRaw(1, "  indented");
        t.SetNumber(2, 12.5);
        PutMemo(t, "NOTES", "a memo longer than the field it goes to");
        t.PutRaw(4, "19990102");
        t.Append();
        t.BlankRecord();
        t.PutRaw(1, "second");
        t.Append();
        t.DeleteRecord();
    }
    {
        NVO_DBFoxBuild built(dir.File("new.dbf"));  // FoxPro, .fpt memo
        Build(built, {{"TEXT", "C", 6, 0},      // from TEXT, shorter
                      {"PRICE", "N", 8, 3},     // from PRICE, by value
                      {"SHORT", "C", 8, 0},     // from NOTES: the memo's text, cut
                      {"MEMO", "M", 10, 0},     // from TEXT: the text becomes a memo
                      {"SAID", "C", 10, 0},     // from PRICE: its text
                      {"WHEN", "D", 8, 0},      // from WHEN
                      {"ADDED", "C", 3, 0},     // no source
                      {"BEYOND", "C", 3, 0}});  // a field the old table does not have
    }
    const TRestructureResult result = RestructureTable(Job("old.dbf", "new.dbf", {1, 2, 3, 1, 2, 4, 0, 9}));
    EXPECT_TRUE(result.problems.empty());

    NVO_dBHandler t(dir.File("old.dbf"), false, false, "");
    ASSERT_EQ(t.RecordCount(), 2);
    t.Go(1);
    EXPECT_EQ(t.GetRaw(1), "  inde");
    EXPECT_EQ(t.GetRaw(2), "  12.500");
    EXPECT_EQ(t.GetRaw(3), "a memo l");
    EXPECT_EQ(t.GetText(4), "  indented");
    EXPECT_EQ(t.GetText(5), "12.50");
    EXPECT_EQ(t.GetRaw(6), "19990102");
    EXPECT_EQ(t.GetRaw(7), "   ");
    EXPECT_EQ(t.GetRaw(8), "   ");
    EXPECT_EQ(t.RecordPointer()[0], ' ');
    t.Go(2);
    EXPECT_EQ(t.GetText(1), "second");
    EXPECT_EQ(t.GetText(4), "second");
    EXPECT_EQ(t.RecordPointer()[0], '*');

    // The old dBase III memo went to its backup; no .dbt is left beside the FoxPro table.
    EXPECT_TRUE(fs::exists(dir.File("old.hbf")));
    EXPECT_TRUE(fs::exists(dir.File("old.hbt")));
    EXPECT_TRUE(fs::exists(dir.File("old.fpt")));
    EXPECT_FALSE(fs::exists(dir.File("old.dbt")));
    EXPECT_FALSE(fs::exists(dir.File("new.dbf")));
    EXPECT_FALSE(fs::exists(dir.File("new.fpt")));
}

TEST_F(RestructureCopy, TheCopyAndTheIndexRebuildReportTheirProgress) {
    {
        NVO_DBFoxBuild old(dir.File("old.dbf"));
        Build(old, {{"NAME", "C", 6, 0}});
    }
    {
        NVO_dBHandler t(dir.File("old.dbf"), false, true, "");
        for (const char* name : {"c", "a", "b"}) {
            t.BlankRecord();
            t.PutRaw(1, name);
            t.Append();
        }
        ASSERT_EQ(t.IndexOn("old.cdx", "NAME", 0, true, "", "NAME"), 0);
    }
    {
        NVO_DBFoxBuild built(dir.File("new.dbf"));
        Build(built, {{"NAME", "C", 8, 0}});
    }
    std::vector<std::array<int32_t, 3>> reports;
    TRestructureJob job = Job("old.dbf", "new.dbf", {1});
    job.status = [&](int32_t a, int32_t b, int32_t c) { reports.push_back({a, b, c}); };
    ASSERT_TRUE(RestructureTable(job).problems.empty());

    // The copy is a phase of its own, from its start to its last record and its end, and the
    // rebuild of the production index reports its phases after it.
    using R = std::array<int32_t, 3>;
    ASSERT_GE(reports.size(), 5u);
    EXPECT_EQ(reports[0], (R{-1, 6, 3}));
    EXPECT_EQ(reports[3], (R{6, 3, 0}));
    EXPECT_EQ(reports[4], (R{0, 0, 0}));
    EXPECT_NE(std::find(reports.begin() + 5, reports.end(), R{-1, 1, 3}), reports.end());
    EXPECT_EQ(reports.back(), (R{0, 0, 0}));
}

TEST_F(RestructureCopy, AnEncipheredTableStaysEnciphered) {
    {
        NVO_DBFBuild old(dir.File("old.dbf"));
        Build(old, {{"NAME", "C", 8, 0}, {"NOTES", "M", 10, 0}});
    }
    {
        NVO_dBHandler t(dir.File("old.dbf"), false, true, "");
        t.BlankRecord();
        t.PutRaw(1, "secret");
        PutMemo(t, "NOTES", "hidden note");
        t.Append();
        t.SetPassword("pw");
    }
    {
        NVO_DBFBuild built(dir.File("new.dbf"));
        Build(built, {{"NOTES", "M", 10, 0}, {"NAME", "C", 10, 0}});
    }
    TRestructureJob job = Job("old.dbf", "new.dbf", {2, 1});
    job.password = "pw";
    RestructureTable(job);
    EXPECT_EQ(nvtest::ReadFile(dir.File("old.dbf")).find("secret"), std::string::npos);
    EXPECT_THROW(NVO_dBHandler(dir.File("old.dbf"), false, false, ""), ENorvaneEncryption);
    NVO_dBHandler t(dir.File("old.dbf"), false, false, "pw");
    t.Go(1);
    EXPECT_EQ(t.GetText(1), "hidden note");
    EXPECT_EQ(t.GetText(2), "secret");
}

TEST_F(RestructureCopy, BackupsOfAnEarlierRunAreReplacedOnlyWhenTheExchangeSucceeds) {
    auto make = [&](const std::string& name, const char* field) {
        NVO_DBFoxBuild build(dir.File(name));
        Build(build, {{field, "C", 4, 0}, {"NOTES", "M", 10, 0}});
    };
    make("t.dbf", "OLD");
    nvtest::WriteFile(dir.File("t.hbf"), "earlier table");
    nvtest::WriteFile(dir.File("t.hpt"), "earlier memo");
    const std::string table = nvtest::ReadFile(dir.File("t.dbf"));

    // Moving the old memo to its backup fails: everything is back, the earlier backups too.
    make("n1.dbf", "NEW");
    {
        NvFaultPlatform faults;
        faults.Fail(NvOsOp::Rename, 4);
        NvPlatformScope use(faults);
        EXPECT_THROW(RestructureTable(Job("t.dbf", "n1.dbf", {1, 2})), ENorvaneError);
    }
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.dbf")), table);
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.hbf")), "earlier table");
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.hpt")), "earlier memo");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"t.dbf", "t.fpt", "t.hbf", "t.hpt"}));

    make("n2.dbf", "NEW");
    log.clear();
    RestructureTable(Job("t.dbf", "n2.dbf", {1, 2}));
    EXPECT_EQ(nvtest::ReadFile(dir.File("t.hbf")), table);
    NVO_dBHandler t(dir.File("t.dbf"), false, false, "");
    EXPECT_EQ(t.FieldName(1), "NEW");
    // The steps in their order: old table and memo to the backups, new memo, new table last.
    ASSERT_EQ(log.size(), 8u);
    EXPECT_NE(log[1].find("t.dbf to " + dir.File("t.hbf")), std::string::npos) << log[1];
    EXPECT_NE(log[3].find("t.fpt to " + dir.File("t.hpt")), std::string::npos) << log[3];
    EXPECT_NE(log[4].find("n2.fpt to " + dir.File("t.fpt")), std::string::npos) << log[4];
    EXPECT_NE(log[5].find("n2.dbf to " + dir.File("t.dbf")), std::string::npos) << log[5];
    EXPECT_EQ(log[6].rfind("Delete ", 0), 0u) << log[6];
}

// A peer's .dump file: the fields of each row, and the records of each tag in its order.
struct Dump {
    std::vector<std::vector<std::string>> rows;  // [0] is "*" or "-", then the fields
    std::map<std::string, std::vector<int32_t>> orders;
};

Dump ReadDump(const std::string& path) {
    Dump dump;
    std::istringstream in(nvtest::ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("row ", 0) == 0) {
            std::vector<std::string> fields;
            std::string rest = line.substr(line.find(' ', 4) + 1), field;
            std::istringstream parts(rest);
            while (std::getline(parts, field, '|')) fields.push_back(field);
            if (!rest.empty() && rest.back() == '|') fields.emplace_back();
            dump.rows.push_back(fields);
        } else if (line.rfind("order ", 0) == 0) {
            std::istringstream records(line.substr(line.rfind('|') + 1));
            std::vector<int32_t>& order = dump.orders[line.substr(6, line.find('|') - 6)];
            for (int32_t r; records >> r;) order.push_back(r);
        }
    }
    return dump;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(0, 1);
    return text;
}

// A table another program made, with a compound index of nine tags: reordered and widened
// fields keep every value and memo, and every tag comes back in the order that program built.
TEST_F(RestructureCopy, APeerTableKeepsItsValuesAndItsNineTagsAreRebuilt) {
    for (const char* ext : {".dbf", ".fpt", ".cdx"}) dir.Copy(std::string(PELMORA_FIXTURES) + "/peer/people" + ext);
    {
        NVO_DBFoxBuild built(dir.File("new.dbf"));
        Build(built, {{"NOTES", "M", 10, 0}, {"NAME", "C", 30, 0}, {"AGE", "N", 3, 0},
                      {"AMOUNT", "N", 12, 2}, {"BORN", "D", 8, 0}, {"ACTIVE", "L", 1, 0}});
    }
    const TRestructureResult result = RestructureTable(Job("people.dbf", "new.dbf", {6, 1, 5, 2, 3, 4}));
    EXPECT_TRUE(result.problems.empty());
    EXPECT_EQ(result.rebuiltIndexFiles, std::vector<std::string>{dir.File("people.cdx")});

    const Dump dump = ReadDump(std::string(PELMORA_FIXTURES) + "/peer/people.dump");
    NVO_dBHandler t(dir.File("people.dbf"), false, false, "");
    EXPECT_TRUE(t.ProductionIndex());
    ASSERT_EQ(t.RecordCount(), static_cast<int32_t>(dump.rows.size()));
    for (int32_t n = 1; n <= t.RecordCount(); ++n) {
        const std::vector<std::string>& row = dump.rows[static_cast<std::size_t>(n - 1)];
        t.Go(n);
        EXPECT_EQ(std::string(1, static_cast<char>(t.RecordPointer()[0])), row[0] == "*" ? "*" : " ") << n;
        EXPECT_EQ(Trimmed(t.GetRaw(2)), row[1]) << n;
        EXPECT_EQ(Trimmed(t.GetRaw(4)), row[2]) << n;
        EXPECT_EQ(Trimmed(t.GetRaw(5)), row[3]) << n;
        EXPECT_EQ(Trimmed(t.GetRaw(3)), row[5]) << n;
        EXPECT_EQ(nvtest::LenMd5(t.GetText(1)), row[6]) << n;
    }
    ASSERT_EQ(t.OpenIndex(dir.File("people.cdx")), 0);
    ASSERT_EQ(dump.orders.size(), 9u);
    for (const auto& [name, records] : dump.orders) {
        int n = 1;
        NVobjIndexTag* tag = t.TagByOrdinal(n);
        while (tag && Trimmed(tag->tagName.c_str()) != name) tag = t.TagByOrdinal(++n);
        ASSERT_NE(tag, nullptr) << name;
        EXPECT_EQ(nvtest::WalkRecords(nvtest::WalkTag(*tag)), records) << name;
        // Built anew: the key of the widened field is as wide as the field now.
        if (name == "NAME") {
            EXPECT_EQ(tag->keyLength, 30);
        }
    }
}

// Visual FoxPro's binary numbers become N fields by value.
TEST_F(RestructureCopy, BinaryNumbersOfAPeerTableBecomeNumericFields) {
    for (const char* ext : {".dbf", ".fpt"}) dir.Copy(std::string(PELMORA_FIXTURES) + "/peer/py_vfp" + ext);
    {
        NVO_DBFoxBuild built(dir.File("new.dbf"));
        Build(built, {{"QTY", "N", 8, 0}, {"PRICE", "N", 12, 4}, {"NOTES", "M", 10, 0}});
    }
    RestructureTable(Job("py_vfp.dbf", "new.dbf", {6, 8, 5}));
    const Dump dump = ReadDump(std::string(PELMORA_FIXTURES) + "/peer/py_vfp.dump");
    NVO_dBHandler t(dir.File("py_vfp.dbf"), false, false, "");
    ASSERT_EQ(t.RecordCount(), static_cast<int32_t>(dump.rows.size()));
    for (int32_t n = 1; n <= t.RecordCount(); ++n) {
        const std::vector<std::string>& row = dump.rows[static_cast<std::size_t>(n - 1)];
        t.Go(n);
        EXPECT_EQ(Trimmed(t.GetRaw(1)), row[6]) << n;
        EXPECT_EQ(Trimmed(t.GetRaw(2)), row[8]) << n;
        EXPECT_EQ(nvtest::LenMd5(t.GetText(3)), row[5]) << n;
    }
}

}  // namespace

namespace {

// The restructure interrupted at every file step, by each kind of failing call and by a kill:
// afterwards the old table is complete under its own name or under the backup names, or the
// new one under the table's name, and its index reads the records in order or is rebuilt by
// reindex; a failure reached the caller.
struct RestructureInterrupted : ::testing::Test {
    nvtest::ScratchDir dir;
    std::string pristine = dir.File("pristine"), work = dir.File("work");

    void SetUp() override {
        fs::create_directories(pristine);
        {
            NVO_DBFoxBuild build(pristine + "/t.dbf");
            Build(build, {{"NAME", "C", 6, 0}, {"NOTES", "M", 10, 0}});
        }
        {
            NVO_dBHandler t(pristine + "/t.dbf", false, true, "");
            for (int i = 0; i < 6; ++i) {
                t.BlankRecord();
                t.PutRaw(1, std::string(1, char('f' - i)) + "name");
                if (i % 2 == 0) PutMemo(t, "NOTES", std::string(300 + 100 * i, char('a' + i)));
                t.Append();
            }
            ASSERT_EQ(t.IndexOn("t.cdx", "NAME", 0, true, "", "NAME"), 0);
        }
        NVO_DBFoxBuild built(pristine + "/n.dbf");
        Build(built, {{"NOTES", "M", 10, 0}, {"NAME", "C", 8, 0}});
    }

    void Restore() {
        std::error_code ec;
        fs::remove_all(work, ec);
        fs::copy(pristine, work);
    }

    TRestructureJob Job() {
        TRestructureJob job;
        job.oldPath = work + "/t.dbf";
        job.newPath = work + "/n.dbf";
        job.fieldMap = {2, 1};
        job.log = [](const std::string&) {};
        return job;
    }

    // The records of a table as "NAME|NOTES" lines in NAME order, whatever the field order;
    // empty when it cannot be read.
    static std::string Records(const std::string& table, const std::string& memo = "") {
        std::string path = table;
        if (!memo.empty()) {  // a backup pair: read under names that belong together
            const std::string base = fs::path(table).parent_path().string() + "/backup-read";
            std::error_code ec;
            fs::copy_file(table, base + ".dbf", fs::copy_options::overwrite_existing, ec);
            if (!ec) fs::copy_file(memo, base + ".fpt", fs::copy_options::overwrite_existing, ec);
            if (ec) return std::string();
            path = base + ".dbf";
        }
        try {
            NVO_dBHandler t(path, false, false, "");
            std::vector<std::string> lines;
            for (int32_t r = 1; r <= t.RecordCount(); ++r) {
                t.Go(r);
                std::string name = t.GetTextByName("NAME");
                name.erase(name.find_last_not_of(' ') + 1);
                lines.push_back(name + "|" + t.GetTextByName("NOTES"));
            }
            std::sort(lines.begin(), lines.end());
            std::string out;
            for (const std::string& l : lines) out += l + "\n";
            return out;
        } catch (const Exception&) {
            return std::string();
        }
    }

    // The NAME tag of t.cdx walks t.dbf's records in order.
    static bool IndexRight(const std::string& table) {
        try {
            NVO_dBHandler t(table, false, false, "");
            if (t.OpenIndexFiles(fs::path(table).replace_extension(".cdx").string(), "NAME") != 0) return false;
            std::vector<std::string> walked;
            int steps = 0;
            for (t.Go(-3); !t.Eof() && ++steps < 100; t.Skip(1)) walked.push_back(t.GetTextByName("NAME"));
            return static_cast<int32_t>(walked.size()) == t.RecordCount() && std::is_sorted(walked.begin(), walked.end());
        } catch (const Exception&) {
            return false;
        }
    }

    std::string Listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(work))
            names.push_back(e.path().filename().string() + " (" + std::to_string(e.file_size()) + ")");
        std::sort(names.begin(), names.end());
        std::string out;
        for (const std::string& n : names) out += n + " ";
        return out;
    }

    void ExpectRecoverable(const std::string& oldRecords, const std::string& newRecords, const std::string& what) {
        const std::string table = work + "/t.dbf";
        const std::string now = Records(table);
        if (now.empty() || (now != oldRecords && now != newRecords)) {
            // Each old file under its own name or its backup name: putting the table back
            // under its name brings the old table back.
            bool found = false;
            for (const char* table : {"/t.dbf", "/t.hbf"})
                for (const char* memo : {"/t.fpt", "/t.hpt"})
                    found = found || Records(work + table, work + memo) == oldRecords;
            EXPECT_TRUE(found)
                << what << ": the old table is neither in place nor in its backups; the folder holds "
                << Listing() << "\nand t.dbf reads\n"
                << now;
            return;
        }
        if (IndexRight(table)) return;
        {
            NVO_dBHandler t(table, false, true, "");
            ASSERT_EQ(t.OpenIndexFiles(work + "/t.cdx", ""), 0) << what;
            t.Reindex();
        }
        EXPECT_TRUE(IndexRight(table)) << what << ": reindex did not repair the index";
    }
};

TEST_F(RestructureInterrupted, EveryFailingStepAndEveryKillLeavesACompleteTable) {
    Restore();
    const std::string oldRecords = Records(work + "/t.dbf");
    ASSERT_FALSE(oldRecords.empty());
    NvFaultPlatform counter;
    {
        NvPlatformScope use(counter);
        RestructureTable(Job());
    }
    const std::string newRecords = Records(work + "/t.dbf");
    ASSERT_EQ(newRecords, oldRecords);  // the same values, the fields swapped
    const struct {
        const char* name;
        NvOsOp op;
        NvFault fault;
    } kinds[] = {{"create", NvOsOp::Create, NvFault::Fail}, {"write", NvOsOp::Write, NvFault::Fail},
                 {"short write", NvOsOp::Write, NvFault::Short}, {"rename", NvOsOp::Rename, NvFault::Fail},
                 {"delete", NvOsOp::Unlink, NvFault::Fail}, {"truncate", NvOsOp::Truncate, NvFault::Fail},
                 {"flush", NvOsOp::Fsync, NvFault::Fail}};
    for (const auto& kind : kinds) {
        const int calls = counter.Calls(kind.op);
        for (int n = 1; n <= calls; ++n) {
            Restore();
            const std::string what = std::string(kind.name) + " " + std::to_string(n) + " failing";
            bool raised = false;
            {
                NvFaultPlatform faults;
                faults.Fail(kind.op, n, ENOSPC, kind.fault);
                NvPlatformScope use(faults);
                try {
                    RestructureTable(Job());
                } catch (const Exception&) {
                    raised = true;
                }
            }
            if (!raised && kind.fault == NvFault::Fail && kind.op != NvOsOp::Unlink) {
                // A failure after the exchange (a backup's clean-up, an index rebuild) may
                // be reported as a problem instead; the table must then be the new one.
                EXPECT_EQ(Records(work + "/t.dbf"), newRecords) << what;
            }
            ExpectRecoverable(oldRecords, newRecords, what);
            if (HasFailure()) return;
        }
    }
    for (int n = 1; n <= counter.Steps(); ++n) {
        Restore();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            NvFaultPlatform faults;
            faults.KillAtStep(n);
            NvPlatformScope use(faults);
            try {
                RestructureTable(Job());
            } catch (...) {
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "step " << n << " of " << counter.Steps();
        ExpectRecoverable(oldRecords, newRecords, "killed at step " + std::to_string(n));
        if (HasFailure()) return;
    }
}

}  // namespace
