// The cursor's orders over real index files: opening and closing index files, the current
// order and positioning in it, key searches, ranges, Locate through a tag or by a scan,
// building, rebuilding and deleting tags, and index maintenance through a long random run of
// writes compared with fresh builds. Every test runs once per index format in kFormats.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dbf_support.h"
#include "nv_test_errors.h"
#include "nv6_date.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_indx.h"
#include "nv6_lcal.h"
#include "nv6_os.h"

namespace {

using dbftest::ReadAll;
using dbftest::TempDir;
using dbftest::WriteAll;
using nvtest::ErrorOf;

// One index format as the tests use it: its extension, whether one file holds many named
// tags (stored upper-cased), whether its tags honour a descending build, whether they keep
// FOR conditions, whether sort options 7 and 8 build with the general collation, whether
// those options upper-case the keys of the build, and whether tag names are stored
// upper-cased.
struct Format {
    const char* ext;
    bool compound;
    bool descending;
    bool forConditions;
    bool generalCollation;
    bool upperCaseBuild;
    bool upperCaseNames;
};

// The formats these tests run over; a new format joins by adding its line.
const Format kFormats[] = {
    {".ndx", false, false, false, false, false, false},
    {".cdx", true, true, true, true, false, true},
    {".ntx", false, true, true, false, true, true},
    {".mdx", true, true, true, false, false, true},
};

struct Person {
    const char* name;
    const char* first;
    int age;
    const char* born;  // stored form, "" for a blank date
};

// Records 1..6; in NAME order: Brown (2, 5), Smith (1), Smithers (3), Young (6), adams (4).
const Person kPeople[] = {
    {"Smith", "John", 40, "19800102"}, {"Brown", "Anna", 25, "19900315"}, {"Smithers", "Paul", 33, "19751120"},
    {"adams", "Zoe", 50, ""},          {"Brown", "Bob", 61, "19600101"},  {"Young", "Al", 18, "20050505"},
};

void AddPerson(NVO_dBHandler& t, const Person& p) {
    t.BlankRecord();
    t.PutRawByName("NAME", p.name);
    t.PutRawByName("FIRST", p.first);
    t.SetNumberByName("AGE", p.age);
    t.PutRawByName("BORN", p.born);
    t.Append();
}

void MakePeople(const std::string& path) {
    dbftest::MakeTable(path, {{"NAME", "C", 10, 0}, {"FIRST", "C", 8, 0}, {"AGE", "N", 4, 0}, {"BORN", "D", 8, 0}});
    NVO_dBHandler t(path, false, true, "");
    for (const Person& p : kPeople) AddPerson(t, p);
}

class Orders : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        table_ = dir_.File("people.dbf");
        MakePeople(table_);
    }

    std::unique_ptr<NVO_dBHandler> Open(bool shared = false) {
        return std::make_unique<NVO_dBHandler>(table_, shared, true, "");
    }
    std::string Ext() const { return GetParam().ext; }
    // A tag name as the format stores it.
    std::string Stored(const std::string& name) const {
        return GetParam().upperCaseNames ? nvlocale::AnsiUpperCase(name) : name;
    }
    // Builds tag `name` (its file is `name` plus the format's extension, so that single-tag
    // formats, which name the tag after the file, answer to the same name).
    std::string Build(NVO_dBHandler& t, const std::string& name, const std::string& key, int sort = 0,
                      bool duplicates = true, const std::string& forExpression = "") {
        std::string file = name + Ext();
        EXPECT_EQ(t.IndexOn(file, name, sort, duplicates, forExpression, key), 0);
        return file;
    }
    // The records in the current order, walking forward (or backward) with Skip.
    static std::vector<int32_t> Walk(NVO_dBHandler& t, bool backward = false) {
        std::vector<int32_t> records;
        t.Go(backward ? -4 : -3);
        while (!t.Eof() && !t.Bof() && records.size() < 100000) {
            records.push_back(t.CurrentRecord());
            t.Skip(backward ? -1 : 1);
        }
        if (backward) std::reverse(records.begin(), records.end());
        return records;
    }

    TempDir dir_;
    std::string table_;
};

// Runs of equal keys may come in any record order: compares run by run as sets.
void ExpectRuns(const std::vector<int32_t>& walked, const std::vector<std::set<int32_t>>& runs) {
    std::size_t at = 0;
    for (const auto& run : runs) {
        ASSERT_LE(at + run.size(), walked.size());
        std::set<int32_t> got(walked.begin() + static_cast<long>(at), walked.begin() + static_cast<long>(at + run.size()));
        EXPECT_EQ(got, run) << "run starting at position " << at;
        at += run.size();
    }
    EXPECT_EQ(at, walked.size());
}

TEST_P(Orders, IndexFileListsOpenFindAndClose) {
    auto t = Open();
    Build(*t, "byname", "NAME");
    Build(*t, "by,age", "AGE");
    EXPECT_EQ(t->ResolveIndexName(" byname "), dir_.File("byname.ndx"));
    EXPECT_EQ(t->ResolveIndexName("x.cdx"), dir_.File("x.cdx"));
    EXPECT_EQ(t->ResolveIndexName("/elsewhere/y"), "/elsewhere/y.ndx");
    EXPECT_EQ(t->ResolveIndexName(""), "");

    // The second name is quoted because of its comma; trailing separators and blanks go.
    std::string list = "byname" + Ext() + ";\"by,age" + Ext() + "\" ,; ";
    ASSERT_EQ(NVO_dBHandler::SplitIndexList(list).size(), 2u);
    EXPECT_EQ(NVO_dBHandler::SplitIndexList(list)[1], "by,age" + Ext());
    EXPECT_EQ(t->OpenIndexFiles(list, "BY,AGE"), 0);
    EXPECT_EQ(t->FindIndexFile("BYNAME" + Ext()), 1);
    EXPECT_EQ(t->FindIndexFile(dir_.File("by,age" + Ext())), 2);
    EXPECT_EQ(t->FindIndexFile("nothere"), 0);
    EXPECT_EQ(t->CurrentTagName(), "BY,AGE");
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{6, 2, 3, 1, 4, 5}));
    EXPECT_EQ(nvlocale::AnsiUpperCase(t->TagByOrdinal(1)->tagName), "BYNAME");
    EXPECT_EQ(t->TagByOrdinal(3), nullptr);
    EXPECT_EQ(t->TagByOrdinal(0), nullptr);
    t->Go(3);
    TnvVariant key;
    ASSERT_TRUE(t->TagKeyValue(2, key));
    EXPECT_EQ(key.AsNumber(), 33);
    EXPECT_FALSE(t->TagKeyValue(3, key));

    // Opening a file that is open already changes nothing.
    EXPECT_EQ(t->OpenIndex(Ext() != ".ndx" ? "byname" + Ext() : "byname"), -1);
    EXPECT_EQ(t->OpenIndex("  "), -1);
    EXPECT_EQ(t->IndexFile(3), nullptr);
    // Closing the file of the current tag returns to natural order.
    EXPECT_EQ(t->CloseIndex("by,age" + Ext()), 0);
    EXPECT_EQ(t->CurrentTag(), nullptr);
    EXPECT_TRUE(t->ReadAheadOn());
    EXPECT_EQ(t->CloseIndex("by,age" + Ext()), 1);
    EXPECT_EQ(t->CloseIndex(""), 1);
    EXPECT_EQ(t->OpenIndexFiles("", ""), 1);
    EXPECT_FALSE(t->HasIndexFiles());

    EXPECT_EQ(ErrorOf([&] { t->OpenIndex("missing" + Ext()); }),
              "File " + dir_.File("missing" + Ext()) + " could not be found");
    EXPECT_EQ(ErrorOf([&] { t->OpenIndex("people.txt"); }), "File " + dir_.File("people.txt") + " could not be found");
    EXPECT_EQ(ErrorOf([&] { t->OpenIndexFiles("byname" + Ext(), "nosuch"); }), "Cannot find index tag nosuch");
    std::vector<uint8_t> junk(1024, 0xFF);
    WriteAll(dir_.File("junk" + Ext()), junk);
    EXPECT_EQ(ErrorOf([&] { t->OpenIndex("junk" + Ext()); }),
              "Index file " + dir_.File("junk" + Ext()) + " is corrupted");
    EXPECT_EQ(t->FindIndexFile("junk" + Ext()), 0);

    // The ".ndx" a bare name gets is ours, not the user's: its letter case is the file's.
    if (Ext() == ".ndx") {
        t->CloseIndexes();
        std::filesystem::rename(dir_.File("byname.ndx"), dir_.File("BYNAME.NDX"));
        EXPECT_EQ(t->ResolveIndexName("BYNAME"), dir_.File("BYNAME.NDX"));
        EXPECT_EQ(t->OpenIndex("BYNAME"), 0);
    }
}

// Files the user may read but not write: opening one for writing is refused as the OS
// refuses it (EACCES), whoever runs the tests.
class ReadOnlyFiles : public NvPlatformWrapper {
public:
    int Open(const std::string& path, bool write, bool create) override {
        if (write && !create) {
            errno = EACCES;
            return -1;
        }
        return NvPlatformWrapper::Open(path, write, create);
    }
};

// A table opened for reading only opens its index files for reading only, so that a table
// and index files the user may only read still give their orders and searches.
TEST_P(Orders, ATableOpenedForReadingOpensItsIndexFilesForReading) {
    {
        auto t = Open();
        Build(*t, "byname", "NAME");
        Build(*t, "byage", "AGE");
    }
    ReadOnlyFiles readOnly;
    NvPlatformScope scope(readOnly);
    NVO_dBHandler t(table_, false, false, "");
    ASSERT_EQ(t.OpenIndexFiles("byname" + Ext() + ",byage" + Ext(), "byname"), 0);
    for (int slot : {1, 2}) {
        NVO_DiskFile& disk = *t.IndexFileCore(slot)->diskFile;
        EXPECT_EQ(::fcntl(disk.Handle(), F_GETFL) & O_ACCMODE, O_RDONLY) << "slot " << slot;
    }
    ExpectRuns(Walk(t), {{2, 5}, {1}, {3}, {6}, {4}});
    EXPECT_TRUE(t.Find("Smithers"));
    EXPECT_EQ(t.CurrentRecord(), 3);
    EXPECT_EQ(t.SetOrder("byage", false), 2);
    EXPECT_EQ(Walk(t), (std::vector<int32_t>{6, 2, 3, 1, 4, 5}));
    // Opened for writing, the same table is refused, and so are its index files.
    EXPECT_EQ(ErrorOf([&] { NVO_dBHandler w(table_, true, true, ""); }), "Access denied to file " + table_);
}

TEST_P(Orders, ASixtyFourthIndexFileIsRefusedAndTheOthersStayMaintained) {
    auto t = Open();
    std::string list;
    for (int i = 1; i <= NVO_dBHandler::kIndexSlots + 1; ++i) {
        std::string file = Build(*t, "i" + std::to_string(i), i % 2 ? "NAME" : "AGE");
        if (i <= NVO_dBHandler::kIndexSlots) list += file + ",";
    }
    ASSERT_EQ(t->OpenIndexFiles(list, "i63"), 0);
    std::string last = "i64" + Ext();
    EXPECT_EQ(ErrorOf([&] { t->OpenIndex(last); }),
              "Index file " + dir_.File(last) + " cannot be opened: table " + table_ + " already has 63 index files open");
    EXPECT_EQ(t->FindIndexFile(last), 0);
    AddPerson(*t, {"Aaron", "X", 1, ""});
    EXPECT_EQ(t->SetOrder("i1", false), 1);
    EXPECT_EQ(t->CurrentRecord(), 7);
    EXPECT_EQ(t->SetOrder("i62", false), 62);
    EXPECT_EQ(t->CurrentRecord(), 7);
}

TEST_P(Orders, SetOrderKeepsThePositionOnlyWhenTheOrderReachesTheRecord) {
    auto t = Open();
    std::string all = Build(*t, "byname", "NAME");
    std::string unique = Build(*t, "uname", "NAME", 0, false);
    ASSERT_EQ(t->OpenIndexFiles(all + ";" + unique, ""), 0);
    EXPECT_EQ(t->CurrentTag(), nullptr);
    t->Go(3);
    EXPECT_EQ(t->SetOrder(" byname ", true), 1);
    EXPECT_EQ(t->CurrentRecord(), 3);
    EXPECT_FALSE(t->ReadAheadOn());
    t->Skip(1);
    EXPECT_EQ(t->CurrentRecord(), 6);
    EXPECT_EQ(t->SetOrder("UNAME", true), 2);
    EXPECT_EQ(t->CurrentRecord(), 6);
    // The unique tag holds one of the two Browns; on the other the order starts at its top.
    std::vector<int32_t> walked = Walk(*t);
    ASSERT_EQ(walked.size(), 5u);
    const int32_t kept = walked[0];
    const int32_t dropped = kept == 2 ? 5 : 2;
    t->Go(dropped);
    EXPECT_TRUE(t->OutOfOrder());
    t->Go(4);
    EXPECT_FALSE(t->OutOfOrder());
    t->SetOrder("byname", true);
    t->Go(dropped);
    EXPECT_EQ(t->SetOrder("uname", true), 2);
    EXPECT_EQ(t->CurrentRecord(), kept);
    t->Go(6);
    EXPECT_EQ(t->SetOrder("byname", false), 1);
    EXPECT_TRUE(t->CurrentRecord() == 2 || t->CurrentRecord() == 5);
    // A record the filter rejects is not kept either.
    t->SetFilter("AGE < 45", false, false);
    t->SetFiltered(true);
    t->Go(5);
    EXPECT_TRUE(t->OutOfOrder());
    EXPECT_EQ(t->SetOrder("byname", true), 1);
    EXPECT_EQ(t->CurrentRecord(), 2);
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{2, 1, 3, 6}));
    t->Go(3);
    EXPECT_EQ(t->SetOrder("uname", true), 2);
    EXPECT_EQ(t->CurrentRecord(), 3);
    // A failing order leaves the order as it was.
    EXPECT_EQ(ErrorOf([&] { t->SetOrder("nosuch", true); }), "Cannot find index tag nosuch");
    EXPECT_EQ(t->CurrentTagName(), "UNAME");
    EXPECT_EQ(t->CurrentRecord(), 3);
    t->SetFiltered(false);
    t->Go(4);
    EXPECT_EQ(t->SetOrder("", true), 0);
    EXPECT_EQ(t->CurrentRecord(), 4);
    EXPECT_TRUE(t->ReadAheadOn());
    EXPECT_EQ(t->SetOrder("", false), 0);
    EXPECT_EQ(t->CurrentRecord(), 1);
}

TEST_P(Orders, GoAndSkipInTagOrderWithDeletedRecordsAndFilters) {
    auto t = Open();
    std::string file = Build(*t, "byname", "NAME");
    ASSERT_EQ(t->OpenIndexFiles(file, "byname"), 0);
    ExpectRuns(Walk(*t), {{2, 5}, {1}, {3}, {6}, {4}});
    ExpectRuns(Walk(*t, true), {{2, 5}, {1}, {3}, {6}, {4}});
    std::vector<int32_t> order = Walk(*t);
    // A long skip stops at the last record of the order with end-of-file set.
    t->Go(-3);
    t->Skip(3);
    EXPECT_EQ(t->CurrentRecord(), order[3]);
    t->Skip(100);
    EXPECT_EQ(t->CurrentRecord(), 4);
    EXPECT_TRUE(t->Eof());
    EXPECT_FALSE(t->Positioned());
    t->Go(1);
    t->Skip(-100);
    EXPECT_EQ(t->CurrentRecord(), order[0]);
    EXPECT_TRUE(t->Bof());
    t->Go(1);
    t->Go(-5);
    EXPECT_EQ(t->CurrentRecord(), 1);
    EXPECT_TRUE(t->Positioned());

    t->Go(1);
    t->DeleteRecord();
    t->Go(6);
    t->DeleteRecord();
    EXPECT_EQ(Walk(*t).size(), 6u);
    t->SetShowDeleted(false);
    ExpectRuns(Walk(*t), {{2, 5}, {3}, {4}});
    t->Go(3);
    t->Skip(1);
    EXPECT_EQ(t->CurrentRecord(), 4);
    t->Skip(-1);
    EXPECT_EQ(t->CurrentRecord(), 3);
    // A deleted record reached by number is read all the same.
    t->Go(6);
    EXPECT_EQ(t->CurrentRecord(), 6);
    EXPECT_TRUE(t->Positioned());

    t->SetFilter("AGE > 30", false, false);
    t->SetFiltered(true);
    ExpectRuns(Walk(*t), {{5}, {3}, {4}});
    t->SetShowDeleted(true);
    ExpectRuns(Walk(*t), {{5}, {1}, {3}, {4}});
    t->Go(2);
    EXPECT_TRUE(t->OutOfOrder());
    // A record appended under the filter and the order is placed at once.
    AddPerson(*t, {"Cole", "Ed", 70, ""});
    EXPECT_EQ(t->CurrentRecord(), 7);
    EXPECT_FALSE(t->OutOfOrder());
    ExpectRuns(Walk(*t), {{5}, {7}, {1}, {3}, {4}});
    t->Go(7);
    t->SetNumberByName("AGE", 10);
    t->WriteRecord(7);
    EXPECT_TRUE(t->OutOfOrder());
    ExpectRuns(Walk(*t), {{5}, {1}, {3}, {4}});
    t->SetFilter("", false, false);
    ExpectRuns(Walk(*t), {{2, 5}, {7}, {1}, {3}, {6}, {4}});
}

// A tag naming records the table does not hold (the table was cut short, or the index is
// damaged) must not end a walk early as if the order were done, nor blame the table.
TEST_P(Orders, ATagNamingRecordsBeyondTheTableIsACorruptIndex) {
    std::string file;
    {
        auto t = Open();
        file = dir_.File("byname" + Ext());
        Build(*t, "byname", "NAME");
    }
    std::vector<uint8_t> bytes = ReadAll(table_);
    const int header = bytes[8] | bytes[9] << 8;
    const int record = bytes[10] | bytes[11] << 8;
    bytes[4] = 4;  // records 5 and 6 go; the index still has their keys
    bytes.resize(static_cast<std::size_t>(header + 4 * record));
    bytes.push_back(0x1A);
    WriteAll(table_, bytes);

    auto t = Open();
    ASSERT_EQ(t->OpenIndexFiles(file, "byname"), 0);
    const std::string corrupt = "Index file " + file + " is corrupted";
    EXPECT_EQ(ErrorOf([&] { Walk(*t); }), corrupt);
    EXPECT_EQ(ErrorOf([&] { Walk(*t, true); }), corrupt);
    EXPECT_EQ(ErrorOf([&] { t->Find("Young"); }), corrupt);
    // Records the table holds are still reached through the tag.
    EXPECT_TRUE(t->Find("Smithers"));
    EXPECT_EQ(t->CurrentRecord(), 3);
}

TEST_P(Orders, FindMatchesWholeKeysOrPrefixesAndConvertsKeyTexts) {
    auto t = Open();
    std::string byname = Build(*t, "byname", "NAME");
    std::string byage = Build(*t, "byage", "AGE");
    std::string byborn = Build(*t, "byborn", "BORN");
    ASSERT_EQ(t->OpenIndexFiles(byname + "," + byage + "," + byborn, ""), 0);
    // No current tag: at the last record with end-of-file set.
    t->Go(2);
    EXPECT_FALSE(t->Find("Smith"));
    EXPECT_EQ(t->CurrentRecord(), 6);
    EXPECT_TRUE(t->Eof());

    t->SetOrder("byname", false);
    t->SetExactMatch(false);
    EXPECT_TRUE(t->Find("Smith"));
    EXPECT_EQ(t->CurrentRecord(), 1);
    EXPECT_TRUE(t->Found());
    EXPECT_TRUE(t->Find("Smithe"));
    EXPECT_EQ(t->CurrentRecord(), 3);
    EXPECT_TRUE(t->Find("Y"));
    EXPECT_EQ(t->CurrentRecord(), 6);
    EXPECT_TRUE(t->Find("Brown"));
    EXPECT_TRUE(t->CurrentRecord() == 2 || t->CurrentRecord() == 5);
    t->SetExactMatch(true);
    EXPECT_TRUE(t->Find("Smith"));
    EXPECT_EQ(t->CurrentRecord(), 1);
    EXPECT_FALSE(t->Find("Smi"));
    EXPECT_FALSE(t->Found());
    EXPECT_TRUE(t->Eof());
    EXPECT_EQ(t->CurrentRecord(), 4);
    EXPECT_FALSE(t->Find("Zz"));
    EXPECT_FALSE(t->Find(""));
    t->SetExactMatch(false);

    // Hidden deleted records and filtered records are passed over to the next equal key.
    t->Go(2);
    t->DeleteRecord();
    t->SetShowDeleted(false);
    EXPECT_TRUE(t->Find("Brown"));
    EXPECT_EQ(t->CurrentRecord(), 5);
    t->Go(1);
    t->DeleteRecord();
    EXPECT_TRUE(t->Find("Smith"));
    EXPECT_EQ(t->CurrentRecord(), 3);  // a prefix of Smithers
    t->SetExactMatch(true);
    EXPECT_FALSE(t->Find("Smith"));
    t->SetExactMatch(false);
    t->SetShowDeleted(true);
    EXPECT_TRUE(t->Find("Smith"));
    EXPECT_EQ(t->CurrentRecord(), 1);
    t->SetFilter("AGE > 60", false, false);
    t->SetFiltered(true);
    EXPECT_FALSE(t->Find("Smith"));
    EXPECT_TRUE(t->Find("Brown"));
    EXPECT_EQ(t->CurrentRecord(), 5);
    t->SetFilter("", false, false);

    // Key texts for number and date tags become numbers and dates first.
    t->SetOrder("byage", false);
    EXPECT_TRUE(t->Find(" 33 "));
    EXPECT_EQ(t->CurrentRecord(), 3);
    EXPECT_TRUE(t->Find("61.0"));
    EXPECT_EQ(t->CurrentRecord(), 5);
    EXPECT_FALSE(t->Find("34"));
    EXPECT_EQ(ErrorOf([&] { t->Find("old"); }), "old is not a valid key for index tag " + Stored("byage"));
    EXPECT_EQ(ErrorOf([&] { t->Find(""); }), " is not a valid key for index tag " + Stored("byage"));
    t->SetOrder("byborn", false);
    EXPECT_TRUE(t->Find("19751120"));
    EXPECT_EQ(t->CurrentRecord(), 3);
    EXPECT_TRUE(t->Find(DBFDate.DayToText(TnvDBFDate::YMDToDay(2005, 5, 5))));
    EXPECT_EQ(t->CurrentRecord(), 6);
    EXPECT_TRUE(t->Find(""));  // the blank date
    EXPECT_EQ(t->CurrentRecord(), 4);
    EXPECT_EQ(ErrorOf([&] { t->Find("soon"); }), "soon is not a valid key for index tag " + Stored("byborn"));
    t->SetOrder("", false);
    t->Go(1);
    EXPECT_FALSE(t->Find("Smith"));
    EXPECT_EQ(t->CurrentRecord(), 6);
}

// A search passing over hidden records to the next one shown finds it only when its key
// matches as the search itself matches: a number's image with fewer bytes (CDX drops
// trailing zero bytes) is no prefix of another number's, so 32 never finds 33.
TEST_P(Orders, FindPassingHiddenRecordsMatchesNumbersInFull) {
    auto t = Open();
    AddPerson(*t, {"Thirty", "Two", 32, ""});
    std::string byage = Build(*t, "byage", "AGE");
    ASSERT_EQ(t->OpenIndexFiles(byage, "byage"), 0);
    t->SetExactMatch(false);
    t->SetFilter("AGE <> 32", false, false);
    t->SetFiltered(true);
    EXPECT_FALSE(t->Find("32"));
    t->SetFilter("", false, false);
    t->Go(7);
    t->DeleteRecord();
    t->SetShowDeleted(false);
    EXPECT_FALSE(t->Find("32"));
    EXPECT_TRUE(t->Find("33"));
    EXPECT_EQ(t->CurrentRecord(), 3);
}

TEST_P(Orders, FindInTagMovesNeitherTheCursorNorTheTag) {
    auto t = Open(true);
    std::string byname = Build(*t, "byname", "NAME");
    std::string byage = Build(*t, "byage", "AGE");
    ASSERT_EQ(t->OpenIndexFiles(byname + ";" + byage, "byname"), 0);
    t->SetLockProtocol(TnvLokProtocol::ClipLock);
    t->SetExactMatch(false);
    t->Go(-3);
    t->Skip(2);
    int32_t here = t->CurrentRecord();
    EXPECT_EQ(here, 1);
    EXPECT_EQ(t->FindInTag("byage", "61"), 5);
    EXPECT_EQ(t->FindInTag("BYNAME", "Smithers"), 3);
    EXPECT_EQ(t->FindInTag("byname", "Smithe"), 0);  // exact match forced for the call
    EXPECT_FALSE(t->ExactMatch());
    EXPECT_EQ(t->FindInTag("nosuch", "x"), -1);
    EXPECT_EQ(t->FindInTag("byage", "99"), 0);
    EXPECT_EQ(ErrorOf([&] { t->FindInTag("byage", "x"); }), "x is not a valid key for index tag " + Stored("byage"));
    EXPECT_EQ(t->CurrentRecord(), here);
    t->Skip(1);
    EXPECT_EQ(t->CurrentRecord(), 3);
    // Under ClipLock searches and moves lock the index files and release them again.
    EXPECT_TRUE(t->Find("Young"));
    for (int slot : {1, 2}) EXPECT_EQ(t->IndexFileCore(slot)->diskFile->LockHolds(), 0);
}

TEST_P(Orders, RangesCompareTheHighBoundInFullOrAsAPrefix) {
    auto t = Open();
    AddPerson(*t, {"B", "Exact", 1, ""});
    AddPerson(*t, {"BA", "Longer", 2, ""});
    std::string byname = Build(*t, "byname", "NAME");
    std::string byage = Build(*t, "byage", "AGE");
    ASSERT_EQ(t->OpenIndexFiles(byname + "," + byage, ""), 0);
    EXPECT_FALSE(t->SetRange("A", "C", true, true, false));  // no current tag
    t->SetOrder("byname", false);
    // Full comparison: "BA" is beyond a high bound of "B".
    EXPECT_TRUE(t->SetRange("B", "B", true, true, false));
    EXPECT_EQ(t->CurrentRecord(), 7);
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{7}));
    // As a prefix: every key beginning with "B".
    EXPECT_TRUE(t->SetRange("B", "B", true, true, true));
    ExpectRuns(Walk(*t), {{7}, {8}, {2, 5}});
    ExpectRuns(Walk(*t, true), {{7}, {8}, {2, 5}});
    EXPECT_FALSE(t->SetRange("B", "B", true, true, true));  // the same range again
    EXPECT_TRUE(t->SetRange("", "Brown", true, true, false));
    ExpectRuns(Walk(*t), {{7}, {8}, {2, 5}});
    EXPECT_TRUE(t->SetRange("Smith", "", true, true, false));
    ExpectRuns(Walk(*t), {{1}, {3}, {6}, {4}});
    // Without the range the cursor goes on from where it stands.
    t->Go(3);
    t->ClearRange();
    t->Skip(1);
    EXPECT_EQ(t->CurrentRecord(), 6);
    t->Skip(-2);
    EXPECT_EQ(t->CurrentRecord(), 1);
    EXPECT_TRUE(t->SetRange("Smith", "", true, true, false));
    // Find keeps inside the range.
    EXPECT_FALSE(t->Find("Brown"));
    EXPECT_TRUE(t->Find("Young"));
    // An empty range: both ends, a blank record.
    EXPECT_TRUE(t->SetRange("C", "D", true, true, false));
    EXPECT_TRUE(t->Eof());
    EXPECT_TRUE(t->Bof());
    EXPECT_EQ(t->GetRawByName("NAME"), std::string(10, ' '));
    EXPECT_TRUE(Walk(*t).empty());
    t->ClearRange();
    EXPECT_EQ(Walk(*t).size(), 8u);
    // Number ranges take number texts; a change of order drops the range.
    t->SetOrder("byage", false);
    EXPECT_TRUE(t->SetRange("25", "50", true, true, false));
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{2, 3, 1, 4}));
    EXPECT_EQ(ErrorOf([&] { t->SetRange("x", "50", true, true, false); }), "x is not a valid key for index tag " + Stored("byage"));
    t->SetOrder("byname", false);
    t->SetOrder("byage", false);
    EXPECT_EQ(Walk(*t).size(), 8u);
}

TEST_P(Orders, LocateUsesATagOfExactlyTheWantedFieldsOrScans) {
    auto t = Open(true);
    std::string byname = Build(*t, "byname", "NAME");
    std::string upper = Build(*t, "upname", "UPPER(NAME)");
    std::string both = Build(*t, "both", "NAME+FIRST");
    auto text = [](const char* s) { return std::vector<TnvValue>{TnvValue::Text(s)}; };

    // Only the UPPER(NAME) tag is open: a case-sensitive search scans and fails on case.
    ASSERT_EQ(t->OpenIndexFiles(upper, ""), 0);
    EXPECT_FALSE(t->Locate("NAME", text("smith"), 0, false, false));
    EXPECT_TRUE(t->Locate("NAME", text("smith"), 0, false, true));
    EXPECT_EQ(t->CurrentRecord(), 1);
    EXPECT_TRUE(t->Locate("name", text("SMITHE"), 0, true, true));
    EXPECT_EQ(t->CurrentRecord(), 3);

    // NAME+FIRST serves a partial search on NAME, but an exact one scans (and finds).
    ASSERT_EQ(t->OpenIndexFiles(both, ""), 0);
    EXPECT_TRUE(t->Locate("NAME", text("Smith"), 0, false, false));
    EXPECT_EQ(t->CurrentRecord(), 1);
    EXPECT_TRUE(t->Locate("NAME", text("Smithe"), 0, true, false));
    EXPECT_EQ(t->CurrentRecord(), 3);
    EXPECT_TRUE(t->Locate("NAME;FIRST", std::vector<TnvValue>{TnvValue::Text("Brown"), TnvValue::Text("Bob")}, 0,
                          false, false));
    EXPECT_EQ(t->CurrentRecord(), 5);
    EXPECT_FALSE(t->Locate("NAME ; FIRST", std::vector<TnvValue>{TnvValue::Text("Brown"), TnvValue::Text("Bo")}, 0,
                           false, false));
    EXPECT_TRUE(t->Locate("NAME ; FIRST", std::vector<TnvValue>{TnvValue::Text("Brown"), TnvValue::Text("Bo")}, 0,
                          true, false));
    EXPECT_EQ(t->CurrentRecord(), 5);
    EXPECT_EQ(t->CurrentTag(), nullptr);

    // The NAME tag answers from its keys: change record 2 behind its back, and the search
    // through the tag still lands there, while a scan (a start record) does not.
    ASSERT_EQ(t->OpenIndexFiles(byname, "byname"), 0);
    {
        NVO_dBHandler other(table_, true, true, "");
        other.Go(2);
        other.PutRawByName("NAME", "Green");
        other.WriteRecord(2);
    }
    t->SetExactMatch(true);
    t->Go(2);
    ASSERT_TRUE(t->Locate("NAME", text("Brown"), 0, false, false));
    EXPECT_TRUE(t->CurrentRecord() == 2 || t->CurrentRecord() == 5);
    EXPECT_TRUE(t->Locate("NAME", text("Brown"), 1, false, false));
    EXPECT_EQ(t->CurrentRecord(), 5);
    EXPECT_FALSE(t->Locate("NAME", text("Brown"), 5, false, false));
    EXPECT_FALSE(t->Locate("NAME", text("Brown"), 99, false, false));
    EXPECT_TRUE(t->ExactMatch());
    // The order stays and the cursor continues in it from the record found.
    EXPECT_TRUE(t->Locate("AGE", std::vector<TnvValue>{TnvValue::Number(33)}, 0, false, false));
    EXPECT_EQ(t->CurrentRecord(), 3);
    EXPECT_EQ(t->CurrentTagName(), "BYNAME");
    t->Skip(1);
    EXPECT_EQ(t->CurrentRecord(), 6);
    // Deleted records stay hidden from the scan.
    t->Go(6);
    t->DeleteRecord();
    t->SetShowDeleted(false);
    EXPECT_FALSE(t->Locate("FIRST", text("Al"), 0, false, false));
    t->SetShowDeleted(true);
    EXPECT_TRUE(t->Locate("FIRST", text("Al"), 0, false, false));
    // Under a range the scan keeps to the range.
    t->SetRange("S", "T", true, true, false);
    EXPECT_FALSE(t->Locate("FIRST", text("Zoe"), 0, false, false));
    EXPECT_TRUE(t->Locate("FIRST", text("Paul"), 0, false, false));
    EXPECT_EQ(t->CurrentRecord(), 3);
}

TEST_P(Orders, IndexOnNamesTagsSortsAndRefusesBadDefinitions) {
    auto t = Open();
    // A compound file needs a tag name; nothing is made without one.
    EXPECT_EQ(ErrorOf([&] { t->IndexOn("multi.cdx", " ", 0, true, "", "NAME"); }), "Cannot find index tag  ");
    EXPECT_FALSE(NvOS().Exists(dir_.File("multi.cdx")));
    EXPECT_NE(ErrorOf([&] { t->IndexOn("bad" + Ext(), "bad", 0, true, "", "NOSUCH+1"); }), "");
    EXPECT_FALSE(NvOS().Exists(dir_.File("bad" + Ext())));
    EXPECT_EQ(t->State(), TnvDBFState::Normal);

    // A damaged single-tag file is simply made anew.
    if (!GetParam().compound) {
        WriteAll(dir_.File("fix" + Ext()), std::vector<uint8_t>(700, 0xFF));
        EXPECT_EQ(t->IndexOn("fix" + Ext(), "ignored", 0, true, "", "NAME"), 0);
        ASSERT_EQ(t->OpenIndexFiles("fix" + Ext(), "fix"), 0);
        EXPECT_EQ(t->TagByOrdinal(1)->tagName, Stored("fix"));
        ExpectRuns(Walk(*t), {{2, 5}, {1}, {3}, {6}, {4}});
    }
    // Every index file is closed by a build; the new one stays closed.
    t->IndexOn("uniq" + Ext(), "uniq", 7, false, "", "NAME");
    EXPECT_FALSE(t->HasIndexFiles());
    EXPECT_EQ(t->CurrentTag(), nullptr);
    ASSERT_EQ(t->OpenIndexFiles("uniq" + Ext(), "uniq"), 0);
    std::vector<int32_t> walked = Walk(*t);
    ASSERT_EQ(walked.size(), 5u);
    if (GetParam().generalCollation || GetParam().upperCaseBuild) {
        // The general collation and upper-cased keys ignore case: "adams" comes first.
        EXPECT_EQ(walked, (std::vector<int32_t>{4, 2, 1, 3, 6}));
    } else {
        EXPECT_TRUE(walked[0] == 2 || walked[0] == 5);
        EXPECT_EQ(std::vector<int32_t>(walked.begin() + 1, walked.end()), (std::vector<int32_t>{1, 3, 6, 4}));
    }
    EXPECT_TRUE(t->TagByOrdinal(1)->unique);

    // FOR conditions; descending builds where the format keeps them.
    Build(*t, "young", "AGE", 1, true, "AGE < 45");
    ASSERT_EQ(t->OpenIndexFiles("young" + Ext(), "young"), 0);
    std::vector<int32_t> young = GetParam().forConditions ? std::vector<int32_t>{6, 2, 3, 1}
                                                           : std::vector<int32_t>{6, 2, 3, 1, 4, 5};
    if (GetParam().descending) std::reverse(young.begin(), young.end());
    EXPECT_EQ(Walk(*t), young);
}

TEST_P(Orders, ReindexAndDeleteTag) {
    auto t = Open();
    std::string byname = Build(*t, "byname", "NAME");
    std::string byage = Build(*t, "byage", "AGE");
    t.reset();
    {
        // Another program changes the table without the indexes.
        NVO_dBHandler other(table_, false, true, "");
        other.Go(6);
        other.PutRawByName("NAME", "Able");
        other.SetNumberByName("AGE", 99);
        other.WriteRecord(6);
    }
    t = Open();
    ASSERT_EQ(t->OpenIndexFiles(byname + ";" + byage, "byage"), 0);
    t->Go(3);
    t->Reindex();
    EXPECT_EQ(t->CurrentTagName(), "BYAGE");
    EXPECT_EQ(t->CurrentRecord(), 2);
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{2, 3, 1, 4, 5, 6}));
    t->SetOrder("byname", false);
    ExpectRuns(Walk(*t), {{6}, {2, 5}, {1}, {3}, {4}});

    EXPECT_EQ(t->DeleteTag(""), 1);
    EXPECT_EQ(t->DeleteTag("nosuch"), 1);
    int result = t->DeleteTag(" byname");
    EXPECT_EQ(t->CurrentTag(), nullptr);
    if (GetParam().compound) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(t->FindIndexFile(byname), 0);
    } else {
        // A single-tag file cannot lose its only tag; it stays open.
        EXPECT_EQ(result, -1);
        EXPECT_EQ(t->FindIndexFile(byname), 1);
    }
}

TEST_P(Orders, DeletingATagInANamedFileAndDeletingIndexFiles) {
    auto t = Open();
    // Two files answer to the tag name KEY (single-tag files name theirs after the file).
    const std::string first = GetParam().compound ? "first" + Ext() : "key" + Ext();
    const std::string second = "second" + Ext();
    const std::string secondTag = GetParam().compound ? "key" : "second";
    ASSERT_EQ(t->IndexOn(first, "key", 0, true, "", "NAME"), 0);
    ASSERT_EQ(t->IndexOn(second, secondTag, 0, true, "", "AGE"), 0);
    if (GetParam().compound) {
        ASSERT_EQ(t->IndexOn(second, "other", 0, true, "", "FIRST"), 0);
    }
    ASSERT_EQ(t->OpenIndexFiles(first + ";" + second, ""), 0);
    EXPECT_EQ(t->DeleteTagIn("missing" + Ext(), secondTag), 1);
    EXPECT_EQ(t->DeleteTagIn(second, "nosuch"), 1);
    EXPECT_EQ(t->DeleteTagIn(second, ""), 1);
    if (GetParam().compound) {
        EXPECT_EQ(t->DeleteTagIn(second, "KEY"), 0);
        EXPECT_EQ(t->IndexFileCore(1)->TagCount(), 1) << "the first file keeps its KEY";
        EXPECT_EQ(t->IndexFileCore(2)->TagCount(), 1);
        EXPECT_EQ(t->IndexFileCore(2)->TagByName("KEY"), nullptr);
    } else {
        EXPECT_EQ(t->DeleteTagIn(second, secondTag), -1);
    }

    // A shared table keeps its index files.
    t.reset();
    t = Open(true);
    EXPECT_EQ(ErrorOf([&] { t->DeleteIndexFile(second); }), "DeleteIndexFile requires full access to file " + table_);
    EXPECT_TRUE(NvOS().Exists(dir_.File(second)));
    t.reset();
    t = Open();
    ASSERT_EQ(t->OpenIndexFiles(first + ";" + second, ""), 0);

    t->SetOrder(GetParam().compound ? "other" : "second", false);
    t->DeleteIndexFile(second);
    EXPECT_FALSE(NvOS().Exists(dir_.File(second)));
    EXPECT_EQ(t->FindIndexFile(second), 0);
    EXPECT_EQ(t->CurrentTag(), nullptr);
    EXPECT_EQ(t->FindIndexFile(first), 1);
    // A file that is gone already is no error.
    t->DeleteIndexFile(second);

    // The production index takes the header's mark of it along; other files leave it.
    ASSERT_EQ(t->IndexOn("people" + Ext(), "people", 0, true, "", "NAME"), 0);
    EXPECT_EQ(t->ProductionIndex(), GetParam().compound);
    t->DeleteIndexFile(first);
    EXPECT_EQ(t->ProductionIndex(), GetParam().compound);
    // A name that is no file (names differ in case here) changes nothing.
    t->DeleteIndexFile("PEOPLE" + Ext());
    EXPECT_TRUE(NvOS().Exists(dir_.File("people" + Ext())));
    EXPECT_EQ(t->ProductionIndex(), GetParam().compound);
    t->DeleteIndexFile("people" + Ext());
    EXPECT_FALSE(NvOS().Exists(dir_.File("people" + Ext())));
    EXPECT_FALSE(t->ProductionIndex());
    t.reset();
    EXPECT_EQ(ReadAll(table_).at(28) & 1, 0);
}

TEST_P(Orders, PackAndZapRebuildEveryOpenIndex) {
    auto t = Open();
    std::string byname = Build(*t, "byname", "NAME");
    std::string byage = Build(*t, "byage", "AGE");
    ASSERT_EQ(t->OpenIndexFiles(byname + "," + byage, "byname"), 0);
    t->Go(1);
    t->DeleteRecord();
    t->Go(5);
    t->DeleteRecord();
    t->Pack();
    // Records 2, 3, 4, 6 became 1..4.
    EXPECT_EQ(t->RecordCount(), 4);
    EXPECT_EQ(t->CurrentTagName(), "BYNAME");
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{1, 2, 4, 3}));
    t->SetOrder("byage", false);
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{4, 1, 2, 3}));
    EXPECT_TRUE(t->Find("50"));
    EXPECT_EQ(t->CurrentRecord(), 3);
    t->Zap();
    EXPECT_EQ(t->RecordCount(), 0);
    EXPECT_EQ(t->CurrentTagName(), "BYAGE");
    EXPECT_TRUE(Walk(*t).empty());
    EXPECT_FALSE(t->Find("50"));
    AddPerson(*t, {"New", "One", 5, ""});
    AddPerson(*t, {"Old", "Two", 3, ""});
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{2, 1}));
    t->SetOrder("byname", false);
    EXPECT_EQ(Walk(*t), (std::vector<int32_t>{1, 2}));
}

TEST_P(Orders, EveryWriteLeavesTheIndexFilesCompleteOnDisk) {
    auto t = Open(true);
    std::string byname = Build(*t, "byname", "NAME");
    ASSERT_EQ(t->OpenIndexFiles(byname, "byname"), 0);
    t->Go(-3);
    t->Skip(2);
    AddPerson(*t, {"Carter", "Cy", 44, ""});
    t->Go(3);
    t->PutRawByName("NAME", "Baker");
    t->WriteRecord(3);
    // Another program reads the index file while this cursor still stands in the order.
    NVO_dBHandler other(table_, true, false, "");
    ASSERT_EQ(other.OpenIndexFiles(byname, "byname"), 0);
    EXPECT_EQ(other.FindInTag("byname", "Carter"), 7);
    EXPECT_EQ(other.FindInTag("byname", "Baker"), 3);
    EXPECT_EQ(other.FindInTag("byname", "Smithers"), 0);
    ExpectRuns(Walk(other), {{3}, {2, 5}, {7}, {1}, {6}, {4}});
}

TEST_P(Orders, FindOnATagWalkedBackwardsLandsOnTheFirstMatchInThatOrder) {
    auto t = Open();
    AddPerson(*t, {"Brown", "Cid", 7, ""});
    std::string byname = Build(*t, "byname", "NAME");
    ASSERT_EQ(t->OpenIndexFiles(byname, "byname"), 0);
    std::vector<int32_t> forward = Walk(*t);
    // The same tree walked from its end, as descending compound tags are.
    t->CurrentTag()->reverseNavigation = true;
    std::vector<int32_t> backward = Walk(*t);
    EXPECT_EQ(backward, std::vector<int32_t>(forward.rbegin(), forward.rend()));
    t->SetExactMatch(true);
    ASSERT_TRUE(t->Find("Brown"));
    EXPECT_EQ(t->CurrentRecord(), backward[4]);
    t->Skip(1);
    EXPECT_EQ(t->CurrentRecord(), backward[5]);
    ASSERT_TRUE(t->Find("Young"));
    EXPECT_EQ(t->CurrentRecord(), 6);
    ASSERT_TRUE(t->Find("adams"));
    EXPECT_EQ(t->CurrentRecord(), 4);
    EXPECT_FALSE(t->Find("Carter"));
    EXPECT_TRUE(t->Eof());
    t->SetExactMatch(false);
    ASSERT_TRUE(t->Find("Smi"));
    EXPECT_EQ(t->CurrentRecord(), 3);
}

TEST_P(Orders, PasswordChangesAndRenamesTakeTheOpenIndexFilesAlong) {
    auto t = Open();
    std::string people = Build(*t, "people", "NAME");
    std::string byage = Build(*t, "byage", "AGE");
    ASSERT_EQ(t->OpenIndexFiles(people + "," + byage, "people"), 0);
    std::vector<uint8_t> plain = ReadAll(dir_.File(people));
    // The copy behind a password change keeps every record under its number, whatever
    // the order: here one that leaves out a record.
    Build(*t, "uname", "NAME", 0, false);
    ASSERT_EQ(t->OpenIndexFiles(people + "," + byage + ",uname" + Ext(), "uname"), 0);
    t->Go(3);
    t->SetPassword("secret");
    EXPECT_EQ(t->RecordCount(), 6);
    EXPECT_EQ(t->CurrentRecord(), 3);
    EXPECT_EQ(t->CurrentTagName(), "UNAME");
    t->Go(5);
    EXPECT_EQ(t->GetTextByName("FIRST"), "Bob");
    t->SetOrder("people", false);
    EXPECT_NE(ReadAll(dir_.File(people)), plain);
    EXPECT_TRUE(t->Find("Young"));
    AddPerson(*t, {"Abel", "Ann", 30, ""});
    t->SetPassword("other");
    t->Rename(dir_.File("staff.dbf"));
    // The file named like the table follows it; the other keeps its name.
    EXPECT_EQ(t->FindIndexFile("staff" + Ext()), 1);
    EXPECT_EQ(t->FindIndexFile(byage), 2);
    EXPECT_FALSE(NvOS().Exists(dir_.File(people)));
    t.reset();
    {
        NVO_dBHandler again(dir_.File("staff.dbf"), false, true, "other");
        // A compound file keeps the names of its tags when it is renamed.
        ASSERT_EQ(again.OpenIndexFiles("staff" + Ext() + "," + byage, GetParam().compound ? "people" : "staff"), 0);
        ExpectRuns(Walk(again), {{7}, {2, 5}, {1}, {3}, {6}, {4}});
        again.SetOrder("byage", false);
        EXPECT_TRUE(again.Find("30"));
        EXPECT_EQ(again.CurrentRecord(), 7);
        again.SetPassword("");
    }
    NVO_dBHandler plainAgain(dir_.File("staff.dbf"), true, false, "");
    ASSERT_EQ(plainAgain.OpenIndexFiles(byage, "byage"), 0);
    EXPECT_EQ(Walk(plainAgain), (std::vector<int32_t>{6, 2, 7, 3, 1, 4, 5}));
}

// --- maintenance over a long random run -------------------------------------------------

struct TagDef {
    const char* name;
    const char* key;
    bool unique;
    const char* forExpression;
};

const TagDef kTags[] = {
    {"rname", "NAME", false, ""},
    {"rage", "AGE", false, ""},
    {"rborn", "BORN", false, ""},
    {"rfirst", "FIRST", true, ""},
    {"rboth", "NAME+FIRST", false, ""},
    {"rold", "AGE", false, "AGE > 50"},
};

using Entry = std::pair<TnvVariant, int32_t>;

std::vector<Entry> WalkTag(NVobjIndexTag& tag) {
    std::vector<Entry> out;
    for (int32_t r = tag.TagMove(-3); r != 0 && out.size() < 100000; r = tag.TagMove(-1))
        out.emplace_back(tag.currentKey, r);
    tag.PageRelease();
    return out;
}

bool SameKey(const TnvVariant& a, const TnvVariant& b) {
    int32_t position = 0;
    return a.Kind() == b.Kind() && a.Compare(&b, position, nullptr, -1) == 0;
}

// Keys in order must agree; within a run of equal keys only the set of records counts.
void ExpectSameTag(const std::vector<Entry>& kept, const std::vector<Entry>& fresh) {
    ASSERT_EQ(kept.size(), fresh.size());
    std::size_t i = 0;
    while (i < kept.size()) {
        std::size_t j = i;
        std::multiset<int32_t> a, b;
        while (j < kept.size() && SameKey(kept[j].first, kept[i].first)) {
            ASSERT_TRUE(SameKey(fresh[j].first, kept[i].first)) << "key at entry " << j;
            a.insert(kept[j].second);
            b.insert(fresh[j].second);
            ++j;
        }
        EXPECT_EQ(a, b) << "records of the run at entry " << i;
        i = j;
    }
}

// A maintained unique tag holds each key once, on a record that has it (compared with a
// build that keeps every record). When the record holding a key takes another key, the
// key leaves the tag even if other records still have it, as in every xBase program; a
// rebuild brings it back.
void ExpectUniqueTag(const std::vector<Entry>& kept, const std::vector<Entry>& everyRecord) {
    for (std::size_t i = 1; i < kept.size(); ++i)
        EXPECT_FALSE(SameKey(kept[i - 1].first, kept[i].first)) << "a key twice at entry " << i;
    std::size_t at = 0;
    for (const Entry& entry : kept) {
        while (at < everyRecord.size() && !SameKey(everyRecord[at].first, entry.first)) ++at;
        ASSERT_LT(at, everyRecord.size()) << "a key no record has, or out of order";
        bool found = false;
        for (std::size_t k = at; k < everyRecord.size() && SameKey(everyRecord[k].first, entry.first); ++k)
            found = found || everyRecord[k].second == entry.second;
        EXPECT_TRUE(found) << "record " << entry.second << " does not have its key";
    }
}

TEST_P(Orders, RandomWritesKeepEveryTagEqualToAFreshBuild) {
    auto t = Open();
    std::string list;
    for (const TagDef& d : kTags) list += Build(*t, d.name, d.key, 0, !d.unique, d.forExpression) + ",";
    ASSERT_EQ(t->OpenIndexFiles(list, "rname"), 0);
    std::mt19937 rng(20261208u);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    static const char* const kNames[] = {"Ames", "Berg", "Cole", "Dunn", "Egan", "Ford", "Gray", "Hale", "Ives"};
    auto fill = [&] {
        std::string name = kNames[pick(9)];
        if (pick(3) == 0) name += kNames[pick(9)];
        t->PutRawByName("NAME", name.substr(0, 10));
        t->PutRawByName("FIRST", std::string(kNames[pick(9)]).substr(0, 2 + pick(3)));
        t->SetNumberByName("AGE", pick(90));
        if (pick(5) == 0)
            t->PutRawByName("BORN", "");
        else
            t->SetDateByName("BORN", TnvDBFDate::YMDToDay(1930 + pick(80), 1 + pick(12), 1 + pick(28)));
    };
    int packs = 0;
    for (int step = 0; step < 2000; ++step) {
        // The cursor moves in one of the orders between writes, so the writes meet tags
        // with and without an open page chain.
        if (pick(10) == 0) t->SetOrder(pick(4) == 0 ? "" : kTags[pick(6)].name, pick(2) == 0);
        int what = pick(100);
        if (what < 35 || t->RecordCount() < 5) {
            t->BlankRecord();
            fill();
            t->Append();
            continue;
        }
        t->Go(1 + pick(t->RecordCount()));
        if (pick(3) == 0) t->Skip(pick(7) - 3);
        if (t->Eof() || t->Bof()) t->Go(1 + pick(t->RecordCount()));
        if (what < 70) {
            fill();
            t->WriteRecord(t->CurrentRecord());
        } else if (what < 85) {
            t->DeleteRecord();
        } else if (what < 99) {
            t->RecallRecord();
        } else {
            t->Pack();
            ++packs;
        }
    }
    EXPECT_GT(packs, 0);
    EXPECT_GT(t->RecordCount(), 300);
    t->Flush();

    std::vector<std::vector<Entry>> kept;
    for (int n = 1; n <= 6; ++n) kept.push_back(WalkTag(*t->TagByOrdinal(n)));
    // The same definitions built afresh from the table as it is now (unique ones also
    // with every record).
    std::string freshList;
    for (const TagDef& d : kTags)
        freshList += Build(*t, std::string("f") + d.name, d.key, 0, !d.unique, d.forExpression) + ",";
    for (const TagDef& d : kTags)
        if (d.unique) freshList += Build(*t, std::string("a") + d.name, d.key, 0, true, d.forExpression) + ",";
    ASSERT_EQ(t->OpenIndexFiles(freshList, ""), 0);
    int extra = 7;
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE(kTags[n - 1].name);
        const std::vector<Entry>& mine = kept[static_cast<std::size_t>(n - 1)];
        if (!kTags[n - 1].unique) {
            ExpectSameTag(mine, WalkTag(*t->TagByOrdinal(n)));
            continue;
        }
        std::vector<Entry> every = WalkTag(*t->TagByOrdinal(extra++));
        ExpectUniqueTag(mine, every);
        // Built afresh, the unique tag has every distinct key.
        std::size_t distinct = 0;
        for (std::size_t i = 0; i < every.size(); ++i)
            if (i == 0 || !SameKey(every[i - 1].first, every[i].first)) ++distinct;
        EXPECT_EQ(WalkTag(*t->TagByOrdinal(n)).size(), distinct);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, Orders, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) { return std::string(info.param.ext + 1); });

}  // namespace
