// What the norvane tool must never do to a user's files, and what it must say: exports that
// would write over the table or were not finished, zap and pack refused by a file they may
// not write, single-tag files of other tables, values an import would change silently,
// imports that fail half-way, tables held by another program, and the checks that missed
// problems. Every table is a copy in a scratch folder.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>

#include "nv6_bytes.h"
#include "nv6_os.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using nvtest::ScratchDir;
using tooltest::kPeer;
using tooltest::Tool;

std::map<std::string, std::string> Files(const ScratchDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir.Path()))
        files[e.path().filename().string()] = nvtest::ReadFile(e.path().string());
    return files;
}

// people.dbf with its memo file and production index (nine tags), copied.
std::string CopyPeople(const ScratchDir& dir) {
    dir.Copy(kPeer + "people.fpt");
    dir.Copy(kPeer + "people.cdx");
    return dir.Copy(kPeer + "people.dbf");
}

bool OneLine(const std::string& err) {
    return err.rfind("norvane: ", 0) == 0 && std::count(err.begin(), err.end(), '\n') == 1;
}

// Refuses to open one file for writing, as the operating system does for a file its user
// may only read.
class ReadOnlyFile : public NvPlatformWrapper {
public:
    explicit ReadOnlyFile(std::string path) : path_(std::move(path)) {}
    int Open(const std::string& path, bool write, bool create) override {
        if (write && path == path_) {
            errno = EACCES;
            return -1;
        }
        return NvPlatformWrapper::Open(path, write, create);
    }

private:
    std::string path_;
};

TEST(ToolSafety, ExportNeverWritesOverTheTableNorLeavesAnUnfinishedFile) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    fs::create_symlink(table, dir.File("link.csv"));
    const auto before = Files(dir);
    for (const char* own : {"people.dbf", "people.fpt", "people.cdx", "PEOPLE.cdx", "link.csv"}) {
        auto r = Tool({"export", table, "--csv", dir.File(own)});
        EXPECT_EQ(r.status, 2) << own;
        EXPECT_NE(r.err.find("will not write the CSV over"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Files(dir), before);

    // A failed export leaves the file it would have replaced as it was, and no other file.
    std::string target = dir.File("keep.csv");
    nvtest::WriteFile(target, "precious\n");
    EXPECT_EQ(Tool({"export", table, "--csv", target, "--filter", "NAME = 1"}).status, 2);
    {
        NVO_dBHandler t(table, false, true, "");
        t.Go(150);
        t.PutRaw(6, "999999");  // a memo pointer past the end of the memo file
        t.WriteRecord(150);
    }
    auto r = Tool({"export", table, "--csv", target});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(nvtest::ReadFile(target), "precious\n");
    EXPECT_EQ(Files(dir).size(), before.size() + 1) << "a temporary file was left";

    r = Tool({"export", table, "--csv", target, "--filter", "RECNO() = 1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "exported 1 record to " + target + "\n");
    auto toStdout = Tool({"export", table, "--csv", "-", "--filter", "RECNO() = 1"});
    ASSERT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, nvtest::ReadFile(target));
    EXPECT_EQ(toStdout.out.rfind("NAME,AMOUNT,BORN,ACTIVE,AGE,NOTES\r\nWood,", 0), 0u) << toStdout.out;
}

// A memo file that may not be written used to be found after the table had been emptied.
TEST(ToolSafety, ZapAndPackChangeNothingWhenAFileMayNotBeWritten) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    const auto before = Files(dir);
    for (const std::vector<std::string>& words : {std::vector<std::string>{"zap", table, "--yes"}, {"pack", table}}) {
        ReadOnlyFile readOnly(dir.File("people.fpt"));
        NvPlatformScope use(readOnly);
        auto r = Tool(words);
        EXPECT_EQ(r.status, 2) << words[0];
        EXPECT_EQ(r.err, "norvane: no permission to write " + dir.File("people.fpt") + "\n");
    }
    EXPECT_EQ(Files(dir), before);
}

TEST(ToolSafety, AnExistingSingleTagFileIsBuiltAnewOnlyWhenAsked) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    dir.Copy(kPeer + "orders.dbf");
    dir.Copy(kPeer + "orders.dbt");
    std::string theirs = dir.Copy(kPeer + "orders_born.ntx");
    const std::string bytes = nvtest::ReadFile(theirs);
    auto r = Tool({"index", table, "--file", theirs, "--key", "NAME"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("give --replace"), std::string::npos) << r.err;
    EXPECT_EQ(nvtest::ReadFile(theirs), bytes);
    ASSERT_EQ(Tool({"index", table, "--file", theirs, "--key", "NAME", "--replace"}).status, 0);
    EXPECT_EQ(Tool({"check", table, "--index", theirs}).status, 0);

    // A tag of a compound file likewise.
    r = Tool({"index", table, "--file", dir.File("people.cdx"), "--tag", "NAME", "--key", "UPPER(NAME)"});
    EXPECT_NE(r.err.find("deltag it first or give --replace"), std::string::npos) << r.err;
    r = Tool({"index", table, "--file", dir.File("people.cdx"), "--tag", "NAME", "--key", "UPPER(NAME)", "--replace"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Tool({"info", table});
    EXPECT_NE(r.out.find("tag NAME  key UPPER(NAME)"), std::string::npos) << r.out;
    EXPECT_EQ(Tool({"check", table}).status, 0);
}

TEST(ToolImport, ValuesThatWouldChangeStopTheImportUnlessAllowed) {
    ScratchDir dir;
    std::string table = dir.File("t.dbf");
    ASSERT_EQ(Tool({"create", table, "--flavour", "foxpro", "--fields", "NAME C 10, AMT N 6 2, N0 N 3 0, NOTES M"}).status, 0);
    struct Case {
        std::string csv;
        std::vector<std::string> flags;
        const char* message;
    };
    for (const Case& c : {
             Case{std::string("NAME\nA") + '\0' + "B\n", {}, "line 2, field NAME: value 'A.B' does not fit: it holds the control character 0x00 at character 2"},
             Case{"NAME\n\"A\tB\"\n", {}, "control character 0x09"},
             Case{"NAME,NOTES\nx,\"a\x01\"\n", {}, "line 2, field NOTES"},
             Case{"NAME\nS\xC3\xA3o\n", {}, "line 2, field NAME: value 'S\xC3\xA3o' does not fit: the table's code page has no '\xC3\xA3' (--replace-unmappable stores 'a')"},
             Case{"NAME\n\xCE\xBB\n", {"--replace-unmappable"}, "has no character like '\xCE\xBB'"},
             Case{"NAME,AMT\nx,1.234\n", {}, "line 2, field AMT: value '1.234' does not fit: it has more decimals than the field's 2"},
             Case{"NAME,N0\nx,1.5\n", {}, "line 2, field N0"},
         }) {
        std::vector<std::string> words = {"import", table, "--csv", "-"};
        words.insert(words.end(), c.flags.begin(), c.flags.end());
        auto r = Tool(words, c.csv);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(NVO_dBHandler(table, true, false, "").RecordCount(), 0);
    }
    auto r = Tool({"import", table, "--csv", "-", "--round", "--replace-unmappable"},
                  "NAME,AMT,N0,NOTES\nS\xC3\xA3o,1.234,1.5,\"tab\there\r\nnext\"\n\xE2\x82\xAC,1.230,2,\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "imported 2 records into " + table +
                         "\nrounded 2 values to the field's decimals\n"
                         "stored 2 values with the nearest equivalents of characters the code page lacks\n");
    auto rows = tooltest::LinesStarting(Tool({"dump", table}).out, "row ");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].substr(0, rows[0].rfind('|')), "row 1 -|Sao|1.23|2");
    EXPECT_EQ(rows[1], "row 2 -|E|1.23|2|0:d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Tool({"export", table, "--csv", "-", "--filter", "RECNO() = 1"}).out,
              "NAME,AMT,N0,NOTES\r\nSao,1.23,2,\"tab\there\r\nnext\"\r\n");
}

// Blank numbers, dates and logicals, and an undecided logical "?", come back as the same
// bytes after export and import.
TEST(ToolImport, BlankValuesSurviveTheRoundTrip) {
    ScratchDir dir;
    const std::string fields = "N N 5 1, D D, L L, C C 3";
    std::string source = dir.File("src.dbf"), copy = dir.File("copy.dbf");
    ASSERT_EQ(Tool({"create", source, "--flavour", "dbase3", "--fields", fields}).status, 0);
    ASSERT_EQ(Tool({"create", copy, "--flavour", "dbase3", "--fields", fields}).status, 0);
    {
        NVO_dBHandler t(source, false, true, "");
        for (const char* row : {"|||", "1.5|20240229|T|abc", "||?|", "0.0||F|x"}) {
            t.BlankRecord();
            std::string text = row;
            for (int n = 1; n <= 4; ++n) {
                std::size_t bar = text.find('|');
                t.PutRaw(n, text.substr(0, bar));
                text = bar == std::string::npos ? "" : text.substr(bar + 1);
            }
            t.Append();
        }
    }
    auto exported = Tool({"export", source, "--csv", "-"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, "N,D,L,C\r\n,,,\r\n1.5,2024-02-29,T,abc\r\n,,?,\r\n0.0,,F,x\r\n");
    ASSERT_EQ(Tool({"import", copy, "--csv", "-"}, exported.out).status, 0);
    std::string a = nvtest::ReadFile(source), b = nvtest::ReadFile(copy);
    const std::size_t header = nvbytes::LoadLE16(reinterpret_cast<const uint8_t*>(a.data()) + 8);
    EXPECT_EQ(b.substr(header), a.substr(header));
}

TEST(ToolImport, AFailureWhileWritingLeavesEveryFileAsItWas) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    const auto before = Files(dir);
    const std::string csv = "NAME,AMOUNT,NOTES\nAaron,1.50,\"a note\"\nZelda,,\"another, longer note\"\nMia,3,\n";
    for (const char* file : {"people.dbf", "people.fpt", "people.cdx"}) {
        // An import gathers the table's new records into one write and its header into a
        // second: the first and the last write of each file fail.
        for (int write : {1, 2}) {
            SCOPED_TRACE(std::string(file) + " write " + std::to_string(write));
            NvFaultPlatform faults;
            NvPlatformScope use(faults);
            faults.Fail(NvOsOp::Write, write, ENOSPC, NvFault::Fail, dir.File(file));
            auto r = Tool({"import", table, "--csv", "-"}, csv);
            EXPECT_EQ(r.status, 2);
            EXPECT_NE(r.err.find("nothing was imported, every file is as it was"), std::string::npos) << r.err;
            EXPECT_TRUE(OneLine(r.err)) << r.err;
            EXPECT_EQ(Files(dir), before);
        }
    }
    auto r = Tool({"import", table, "--csv", "-"}, csv);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool({"check", table}).status, 0);
}

TEST(ToolMessages, ATableHeldByAnotherProgramIsWaitedForAndNamedSo) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    NvFaultPlatform faults;  // sleeps return at once and are counted
    NvPlatformScope use(faults);
    {
        NVO_dBHandler importer(table, false, true, "");
        auto r = Tool({"info", table});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "norvane: " + table + " is locked by another program\n");
        EXPECT_EQ(faults.SleptMs(), 5000);
        faults.ResetCounts();
        EXPECT_EQ(Tool({"list", table, "--wait", "0.25"}).status, 2);
        EXPECT_EQ(faults.SleptMs(), 250);
        EXPECT_EQ(Tool({"list", table, "--wait", "soon"}).status, 2);
    }
    {
        NVO_dBHandler reader(table, true, false, "");
        auto r = Tool({"pack", table});
        EXPECT_EQ(r.err, "norvane: " + table + " is locked by another program\n");
        EXPECT_EQ(Tool({"info", table}).status, 0) << "readers share";
    }
    // A holder that lets go within the wait: the command goes ahead.
    faults.ResetCounts();
    for (int n = 1; n <= 4; ++n) faults.Fail(NvOsOp::ShareLock, n, EWOULDBLOCK);
    auto r = Tool({"info", table});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(faults.SleptMs(), 100);
}

TEST(ToolMessages, EachMistakeIsToldForWhatItIs) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    fs::create_directory(dir.File("folder"));
    fs::create_directory(dir.File("folder.dbf"));
    nvtest::WriteFile(dir.File("notes.txt"), "these are some notes, written in a text file, not a table\n");
    nvtest::WriteFile(dir.File("bad.txt"), "NAME;C;10;0\nAGE N 3\n");
    fs::copy_file(table, dir.File("gone.pack-old.dbf"));
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {{"info", dir.File("folder")}, dir.File("folder") + " is a directory, not a table"},
             {{"info", dir.File("folder.dbf")}, dir.File("folder.dbf") + " is a directory, not a table"},
             {{"dump", dir.File("notes.txt")}, dir.File("notes.txt") + " is not an xBase table"},
             {{"list", table, "--filter", "NOSUCH = 1"}, "names NOSUCH, which is no field of " + table},
             {{"index", table, "--file", dir.File("n.ndx"), "--key", "NOTES"}, "memo fields cannot be keys"},
             {{"index", table, "--file", dir.File("n.ndx"), "--key", "NAME", "--for", "ACTIVE"}, "an NDX file cannot hold a FOR condition"},
             {{"index", table, "--file", dir.File("n.cdx"), "--tag", "by name", "--key", "NAME"}, "tag name 'by name' is not"},
             {{"index", table, "--file", dir.File("n.cdx"), "--tag", "ELEVENCHARS", "--key", "NAME"}, "tag name 'ELEVENCHARS'"},
             {{"create", dir.File("x.dbf"), "--flavour", "dbase3", "--from", dir.File("bad.txt")},
              dir.File("bad.txt") + " line 2: expected NAME;TYPE;LENGTH;DECIMALS"},
             {{"create", dir.File("x.dbf"), "--flavour", "dbase3", "--from", dir.File("folder")}, "is a directory, not a field listing"},
             {{"create", dir.File("folder"), "--flavour", "dbase3", "--fields", "A C 1"}, "is a directory, not a table"},
             {{"create", "", "--flavour", "dbase3", "--fields", "A C 1"}, "no table named"},
             {{"info", dir.File("gone.dbf")}, "left the old table as " + dir.File("gone.pack-old.dbf")},
         }) {
        auto r = Tool(c.words);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(OneLine(r.err)) << r.err;
        EXPECT_EQ(r.out, "") << "nothing on standard output before the failure";
    }
    // A filter that gives no logical value fails before the column header is written.
    auto r = Tool({"list", table, "--filter", "AGE"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    // NTX tags hold FOR conditions; the condition must be a logical one.
    ASSERT_EQ(Tool({"index", table, "--file", dir.File("act.ntx"), "--key", "NAME", "--for", "ACTIVE"}).status, 0);
    EXPECT_NE(Tool({"index", table, "--file", dir.File("b.ntx"), "--key", "NAME", "--for", "AGE"}).err.find("logical"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(dir.File("act.ntx")));
    EXPECT_FALSE(fs::exists(dir.File("x.dbf")));

    EXPECT_EQ(Tool({"help", "import"}).out, Tool({"import", "--help"}).out);
    EXPECT_EQ(Tool({"--version"}).out.rfind("norvane ", 0), 0u);
    EXPECT_EQ(Tool({"help", "nosuch"}).status, 2);
}

TEST(ToolMessages, OutputThatCannotBeWrittenIsAFailure) {
    struct Full : std::streambuf {
        int overflow(int) override { return traits_type::eof(); }
    } device;
    std::ostream out(&device);
    std::ostringstream err;
    EXPECT_EQ(NvtRun({"list", kPeer + "py_db3.dbf"}, out, err), kNvtExitError);
    EXPECT_EQ(err.str(), "norvane: could not write the output\n");
}

TEST(ToolCheck, TheRecordCountAndTheProductionIndexAreCheckedUnasked) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    auto r = Tool({"check", table});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(table + ": 300 records, as the header says\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(dir.File("people.cdx") + " tag UNAME: 300 keys, ok\n"), std::string::npos) << r.out;
    {
        // Written without its index: the production index no longer fits.
        NVO_dBHandler t(table, false, true, "");
        t.Go(1);
        t.PutRaw(1, "Aardvark");
        t.WriteRecord(1);
    }
    r = Tool({"check", table});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("tag NAME: record 1 has key 'Wood', not 'Aardvark'"), std::string::npos) << r.out;

    std::string small = dir.File("small.dbf");
    ASSERT_EQ(Tool({"create", small, "--flavour", "dbase3", "--fields", "NAME C 5"}).status, 0);
    ASSERT_EQ(Tool({"import", small, "--csv", "-"}, "NAME\na\nb\nc\n").status, 0);
    std::string bytes = nvtest::ReadFile(small);
    // Cut to one record: the header still says three.
    nvtest::WriteFile(small, bytes.substr(0, 65 + 6));
    r = Tool({"check", small});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("the header says 3 records, the file's size (71 bytes) holds 1 record"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n1 problem\n"), std::string::npos) << r.out;
    // A header that says fewer than the file holds.
    bytes[4] = 1;
    nvtest::WriteFile(small, bytes);
    r = Tool({"check", small});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("the header says 1 record, the file's size (84 bytes) holds 3 records"), std::string::npos)
        << r.out;
}

TEST(ToolWarnings, IndexFilesOfTheTableAreFoundByTheirFields) {
    ScratchDir dir;
    std::string table = CopyPeople(dir);
    ASSERT_EQ(Tool({"index", table, "--file", dir.File("byage.ntx"), "--key", "AGE"}).status, 0);
    std::string other = dir.File("other.dbf");
    ASSERT_EQ(Tool({"create", other, "--flavour", "dbase3", "--fields", "CODE C 4"}).status, 0);
    ASSERT_EQ(Tool({"index", other, "--file", dir.File("people_code.ntx"), "--key", "CODE"}).status, 0);
    auto r = Tool({"import", table, "--csv", "-"}, "NAME\nNew\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "norvane: warning: index file " + dir.File("byage.ntx") +
                         " was not given with --index; its record numbers go stale\n");

    // --order finds the production index's tags without --index.
    r = Tool({"list", table, "--order", "NAME", "--fields", "NAME", "--filter", "RECNO() > 299"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "  RECNO  NAME\n    300  Evans E\n    301  New\n2 records\n");
    r = Tool({"export", table, "--csv", "-", "--order", "AGEDESC", "--filter", "RECNO() = 301"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(ToolCreate, EachFlavourTakesOnlyWhatItsReadersRead) {
    ScratchDir dir;
    int made = 0;
    auto create = [&](const std::string& flavour, const std::string& fields) {
        return Tool({"create", dir.File("t" + std::to_string(++made) + ".dbf"), "--flavour", flavour, "--fields", fields});
    };
    auto many = [](int n) {
        std::string fields;
        for (int i = 1; i <= n; ++i) fields += (i > 1 ? "," : "") + std::string("F") + std::to_string(i) + " C 1";
        return fields;
    };
    for (const auto& [flavour, fields] : std::vector<std::pair<std::string, std::string>>{
             {"foxpro", "NAME C 255"}, {"dbase3", "N N 21"}, {"dbase4", "F F 21 2"}, {"dbase3", "A B"},
             {"dbase3", "A G"}, {"dbase3", "A F 5 1"}, {"dbase4", "A G"}, {"foxpro", "A B"},
             {"dbase3", many(129)}, {"foxpro", many(256)}}) {
        auto r = create(flavour, fields);
        EXPECT_EQ(r.status, 2) << flavour << " " << fields.substr(0, 20);
        EXPECT_TRUE(OneLine(r.err)) << r.err;
    }
    for (const auto& [flavour, fields] : std::vector<std::pair<std::string, std::string>>{
             {"foxpro", "NAME C 254, G G, F F 20 2"}, {"dbase3", many(128)}, {"dbase4", many(255)}})
        EXPECT_EQ(create(flavour, fields).status, 0) << flavour;
    EXPECT_EQ(Files(dir).size(), 4u) << "only the tables made, and the FoxPro one's memo file";
    EXPECT_EQ(create("dbase3", "A C 1").out, "created " + dir.File("t14.dbf") + " (1 field, record length 2)\n");
    // A table that cannot be made is one line on stderr, not two.
    auto r = Tool({"create", dir.File("missing/t.dbf"), "--flavour", "dbase3", "--fields", "A C 1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(OneLine(r.err)) << r.err;
}

TEST(ToolList, BinaryNumberColumnsTakeTheWidthOfTheirWidestValue) {
    auto r = Tool({"list", kPeer + "py_vfp.dbf", "--fields", "QTY,NAME"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n', r.out.find('\n') + 1)),
              "  RECNO  QTY    NAME\n"
              "      1  -4763  Smith");
}

// Expressions are given in UTF-8 and compare with text the table holds in its code page.
TEST(ToolList, AccentedTextInAFilterMatchesTheTable) {
    ScratchDir dir;
    std::string table = dir.File("club.dbf");
    ASSERT_EQ(Tool({"create", table, "--flavour", "dbase3", "--fields", "NAME C 20"}).status, 0);
    ASSERT_EQ(Tool({"import", table, "--csv", "-"}, "NAME\nM\xC3\xBCller\nMueller\n").status, 0);
    for (const char* filter : {"NAME = 'M\xC3\xBCller'", "LEFT(NAME, 2) = 'M\xC3\xBC'", "'\xC3\xBCll' $ NAME"}) {
        auto r = Tool({"list", table, "--filter", filter});
        EXPECT_EQ(r.out, "  RECNO  NAME\n      1  M\xC3\xBCller\n1 record\n") << filter << r.err;
    }
    ASSERT_EQ(Tool({"index", table, "--file", dir.File("club.ntx"), "--key", "NAME", "--for", "NAME <> 'M\xC3\xBCller'"}).status, 0);
    EXPECT_NE(Tool({"info", table}).out.find("for NAME <> 'M\xC3\xBCller'"), std::string::npos);
    EXPECT_EQ(Tool({"dump", table, "--index", dir.File("club.ntx")}).out.substr(Tool({"dump", table}).out.size()),
              "order CLUB|NAME|NAME <> 'M\x81ller'|ascending|duplicates| 2\n");
}

}  // namespace
