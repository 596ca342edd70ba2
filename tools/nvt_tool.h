// The `norvane` tool as a library: NvtRun takes a command line and the two output streams
// and returns the exit status, so the program's main and the tests run the same code. Each
// command is one function over its parsed arguments; they are grouped by what they do
// (nvt_read.cpp reads, nvt_write.cpp changes tables and indexes, nvt_csv.cpp moves records
// to and from CSV, nvt_check.cpp verifies).
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "nvt_args.h"

// Where a command writes: results to `out`, warnings and progress to `err`; `in` is what
// "-" names as an input file (nullptr: nothing to read there).
struct NvtIo {
    std::ostream& out;
    std::ostream& err;
    // Whether progress lines may be written to `err` (it is a terminal).
    bool progress = false;
    std::istream* in = nullptr;
};

// Runs one command line (the words after the program name). Failures never escape: they
// become a one-line "norvane: ..." message on `err` and exit status 2; so does output that
// could not be written to `out` (a full disk).
int NvtRun(const std::vector<std::string>& words, std::ostream& out, std::ostream& err, bool progress = false,
           std::istream* in = nullptr);

// The commands; each returns its exit status and raises on failure.
int NvtInfo(const NvtArgs& args, NvtIo& io);
int NvtDump(const NvtArgs& args, NvtIo& io);
int NvtList(const NvtArgs& args, NvtIo& io);
int NvtSeek(const NvtArgs& args, NvtIo& io);
int NvtCreate(const NvtArgs& args, NvtIo& io);
int NvtIndex(const NvtArgs& args, NvtIo& io);
int NvtReindex(const NvtArgs& args, NvtIo& io);
int NvtDelTag(const NvtArgs& args, NvtIo& io);
int NvtPack(const NvtArgs& args, NvtIo& io);
int NvtBench(const NvtArgs& args, NvtIo& io);
int NvtZap(const NvtArgs& args, NvtIo& io);
int NvtPassword(const NvtArgs& args, NvtIo& io);
int NvtExport(const NvtArgs& args, NvtIo& io);
// export --sqlite (nvt_sqlite.cpp).
int NvtExportSqlite(const NvtArgs& args, NvtIo& io);
int NvtImport(const NvtArgs& args, NvtIo& io);
int NvtCheck(const NvtArgs& args, NvtIo& io);
