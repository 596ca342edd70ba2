// What the commands of the `norvane` tool share: a table opened with its index files
// (NvtTable), the names tags go by on the command line, field values in the dump notation,
// the MD5 of memo values, and the UTF-8 <-> code page 437 conversion of text that leaves or
// enters the table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_cpag.h"
#include "nv6_dbsy.h"
#include "nv6_disk.h"
#include "nv6_indx.h"

class NvtArgs;

// Progress of long operations (index builds, pack) goes to `err` while this is set; none
// when it is nullptr. The tool sets it for the run of one command when stderr is a terminal.
void NvtSetProgressStream(std::ostream* err);

// A table opened for a command, with the index files it was given. Index files sit in the
// cursor's slots, so every record the cursor writes updates their keys, and pack, zap and
// reindex rebuild them.
class NvtTable {
public:
    // Opens `path` (made absolute) shared and read-only, or exclusive and read-write for a
    // command that changes the table. While another program holds the table (or an index
    // file opened later) the open is tried again every 50 ms for up to `waitMs`; then "...
    // is locked by another program". A directory, a file that is no xBase table and a file
    // that may not be read or written are refused in so many words.
    NvtTable(const std::string& path, const std::string& password, bool write, int waitMs = kNvLockWaitMs);
    // The table of a command: its first argument, --password and --wait.
    NvtTable(const NvtArgs& args, bool write);
    ~NvtTable();
    NvtTable(const NvtTable&) = delete;
    NvtTable& operator=(const NvtTable&) = delete;

    NVO_dBHandler& Cursor() { return *cursor_; }
    const std::string& Path() const { return path_; }
    // Opens an index file for this table (a relative name counts from the current
    // directory) and puts it into the next slot. `create` makes it when it is missing
    // (`overwrite`: always). "File %s could not be found" when it is not there;
    // "Index file %s is corrupted" when its header cannot be read.
    NVobjIndexFile& OpenIndex(const std::string& path, bool create = false, bool overwrite = false);
    // Opens every --index of `args`.
    void OpenIndexes(const NvtArgs& args);
    // Opens the table's production index (the .cdx or .mdx with its base name) when it
    // exists and is not open yet: records written without it would leave it wrong.
    void OpenProductionIndex();
    // The index files in the table's folder that are not open and belong to this table:
    // every tag's key and FOR expression reads this table's fields (files named like the
    // table that cannot be read count too), sorted by name.
    std::vector<std::string> UnopenedIndexFiles();
    // Warns on `err` about each of UnopenedIndexFiles, saying what becomes of it (by
    // default: its record numbers go stale when records are written or move).
    void WarnUnopenedIndexes(std::ostream& err, const std::string& consequence = "its record numbers go stale");
    // The files that make up the table: itself, its memo file, its open index files and
    // its production index (whether open or not).
    std::vector<std::string> OwnFiles() const;
    // The open index files in the order they were opened.
    const std::vector<NVobjIndexFile*>& Indexes() const { return files_; }
    // Closes one index file (its slot is emptied, the file flushed and released).
    void CloseIndex(NVobjIndexFile* file);
    // Flushes the table and every open index file to disk.
    void Flush();
    // Flushes every open index file, and the table only when this object wrote to it or
    // holds its header back: after a command that only read the table, a sync of it would
    // wait on the disk for nothing (an index build takes longer for it than for its sort).
    void FlushWritten();

private:
    std::string path_;
    bool write_;
    int waitMs_;
    std::unique_ptr<NVO_dBHandler> cursor_;
    std::vector<NVobjIndexFile*> files_;
    std::vector<int> slots_;
};

// Whether `path` is a single-tag index file (NDX, NTX, or no extension), whose one tag is
// named after the file.
bool NvtSingleTagFile(std::string_view path);
// A tag's name as the tool prints it: a single-tag file's base name upper-cased and cut to
// 10 characters, else the name stored in the file.
std::string NvtTagName(const NVobjIndexFile& file, const NVobjIndexTag& tag);
// The tag `name` names among `files`: its printed name, or for single-tag files the file's
// base name, without regard to letter case. Raises NvtError when no tag has that name.
NVobjIndexTag& NvtFindTag(const std::vector<NVobjIndexFile*>& files, std::string_view name);
// Index files in the table's directory whose names begin with the table's base name (letter
// case ignored) and whose extension is an index format's, sorted by name.
std::vector<std::string> NvtIndexFilesBeside(const std::string& tablePath);
// The stored text of an expression or name: trailing blanks and zero bytes dropped.
std::string NvtStoredText(std::string_view text);

// Field `n` of the current record in the dump notation (bytes as stored, numbers formatted
// with the field's decimals, dates yyyymmdd, memos <length>:<md5>).
std::string NvtDumpValue(NVO_dBaseFld& table, int n);
// The bytes of memo field `n` of the current record (empty without a value).
std::string NvtMemoBytes(NVO_dBaseFld& table, int n);
// The day number and milliseconds of a Visual FoxPro T field; false when it is blank.
bool NvtDateTimeOf(NVO_dBaseFld& table, int n, int32_t& day, int32_t& milliseconds);
// MD5 of `data` as 32 lower-case hex digits.
std::string NvtMd5Hex(std::string_view data);

// The page the table's text is stored in, which the conversions below use: the opened
// table's (its header's mark, or --codepage), 437 until a table is opened.
const nvlocale::TnvCodePage& NvtTextPage();
void NvtSetTextPage(int page);
// The page --codepage names (0 without it); NvtUsageError for a page that is not read.
int NvtCodePageOption(const NvtArgs& args);

// Stored bytes (in NvtTextPage) as UTF-8.
std::string NvtOemToUtf8(std::string_view oem);
// How UTF-8 text went into the table's page.
enum class NvtOemResult {
    Exact,       // every character is in the page
    Replaced,    // some took their nearest equivalent (allowed by `bestFit`)
    NotUtf8,     // the text is not UTF-8
    Unmappable,  // a character is not in the page (and no equivalent was allowed or known)
};
// UTF-8 as code page 437 bytes; characters the page lacks take their nearest equivalent
// only with `bestFit`. For Unmappable, `bad` (when given) receives the character in UTF-8
// and `nearest` its equivalent in UTF-8 (empty when it has none).
NvtOemResult NvtToOem(std::string_view utf8, std::string& oem, bool bestFit, std::string* bad = nullptr,
                      std::string* nearest = nullptr);
// UTF-8 as code page 437 bytes, nearest equivalents allowed. False for text that is not
// UTF-8 or holds a character with no equivalent.
bool NvtUtf8ToOem(std::string_view utf8, std::string& oem);

// Field `n` of the current record as text for people and for CSV, in UTF-8: blank fields
// empty, dates yyyy-mm-dd, date-times yyyy-mm-ddThh:mm:ss, logicals T/F, numbers with their
// decimals, memos in full.
std::string NvtTextValue(NVO_dBaseFld& table, int n);

// Makes every record `table` reaches current in turn and calls `visit` with its number:
// natural order, or the order of `tag` when given; `filter` (blank: none) is an xBase
// expression the record must make true; `hideDeleted` passes over deleted records.
void NvtForEachRecord(NvtTable& table, NVobjIndexTag* tag, const std::string& filter, bool hideDeleted,
                      const std::function<void(int32_t)>& visit);

// The table of a command that writes records, opened exclusive with its --index files and
// its production index; warns on `err` about the index files beside it left out.
std::unique_ptr<NvtTable> NvtOpenForRecordWrites(const NvtArgs& args, std::ostream& err);

// The milliseconds --wait asks for (5000 without it). NvtUsageError for a value that is no
// number of seconds.
int NvtWaitMs(const NvtArgs& args);

// An expression given on the command line (UTF-8) in the table's code page, in which its
// texts compare with the fields' ("the filter '...' holds 'x', which the table's code page
// lacks" otherwise).
std::string NvtOemExpression(const std::string& text, const std::string& what);
// Compiles an expression given on the command line (`what` names it in messages: "filter",
// "key", "FOR condition") against the table. A name that is neither field nor function is
// reported as "the table has no field NAME" rather than as a missing function.
std::unique_ptr<TnvIndexExpression> NvtCompile(NVO_dBHandler& table, const std::string& text, const std::string& what);
// The memo field an index key uses as a value of its own (outside any function's
// arguments), or empty: memo fields cannot be keys, though LEFT(NOTES, 20) can.
std::string NvtMemoFieldInKey(NVO_dBHandler& table, const std::string& key);
// "1 record", "2 records": `count` with `noun` in the singular or plural.
std::string NvtCount(int64_t count, const std::string& noun);
