// The restructure copy: carries the records of a table into the new, empty table the
// structure editor built beside it, then exchanges the files so that the new table takes the
// old one's name and the old files stay as backups (".hbf" table, ".hpt" or ".hbt" memo), and
// rebuilds the table's index files for the new records.
//
// No Qt here: the main window runs it with the record set closed, and tests run it alone.
// The old table is held exclusive from the first record read until the files are exchanged,
// so no other program's write can land in what becomes the backup. Every file step is
// checked; when one fails, the steps already made are undone, the new files removed and the
// error raised, so the old table is back under its own name. A crash between two steps leaves
// the old data under its own names or under the backup names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class NVO_dBHandler;

struct TRestructureJob {
    // The table as it is (full path) and the new, empty table (full path, a name of its own
    // in the same directory) with its memo file, if any.
    std::string oldPath;
    std::string newPath;
    // One entry per field of the new table: the number of the old field whose value it takes,
    // 0 (or a number the old table does not have) for a field that starts blank.
    std::vector<int> fieldMap;
    // The old table's password; the new table is enciphered with it too.
    std::string password;
    // The index files to rebuild once the new table is in place (full paths). The old
    // table's production index (the CDX or MDX of its name) is rebuilt whether listed or not.
    std::vector<std::string> indexFiles;
    // Receives one line per file step ("Rename A to B", "Delete A"); none: stderr.
    std::function<void(const std::string&)> log;
    // Receives the engine's progress reports of the record copy and the index rebuilds:
    // (-1, kind, total) starts a phase, (kind, position, 0) is a step, (0, 0, 0) ends it.
    std::function<void(int32_t, int32_t, int32_t)> status;
};

struct TRestructureResult {
    // The index files rebuilt for the new table.
    std::vector<std::string> rebuiltIndexFiles;
    // Index files that could not be rebuilt and why, one text each, naming the tag when its
    // expression no longer fits the new fields. They are left as they were.
    std::vector<std::string> problems;
};

// Runs the copy, the file exchange and the index rebuild. Raises the engine's error (the old
// files are then back in place) when the copy or a file step fails; problems of single index
// files after the exchange do not undo it and are returned instead.
TRestructureResult RestructureTable(const TRestructureJob& job);

// Stores field `from` of `source`'s current record into field `to` of `target`'s record: the
// same kind of field keeps its exact bytes where the sizes agree, numbers go by value, memo
// fields carry their memo over (to a memo field as it is, to a C field as text cut to the
// field's length), a text value into a memo field becomes its memo, and other pairs go through
// the display text. A `from` outside the source's fields leaves the target field as it is.
void CopyFieldValue(NVO_dBHandler& source, int from, NVO_dBHandler& target, int to);
