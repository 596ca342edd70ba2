// Test support for the norvane tool: running a command line in-process or through the built
// program, and small tables made with the engine's builders.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nvt_tool.h"
#include "scratch_dir.h"

namespace tooltest {

const std::string kPeer = std::string(PELMORA_FIXTURES) + "/peer/";

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tool's commands in this process; `input` is what "-" reads.
inline Result Tool(const std::vector<std::string>& words, const std::string& input = std::string()) {
    std::ostringstream out, err;
    std::istringstream in(input);
    Result r;
    r.status = NvtRun(words, out, err, false, &in);
    r.out = out.str();
    r.err = err.str();
    return r;
}

inline std::string Quote(const std::string& word) {
    std::string s = "'";
    for (char c : word) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

// Runs the built program, for its real exit status and streams.
inline Result RunBinary(const nvtest::ScratchDir& dir, const std::vector<std::string>& words) {
    std::string command = Quote(NORVANE_TOOL_BINARY);
    for (const std::string& w : words) command += " " + Quote(w);
    command += " >" + Quote(dir.File("stdout.txt")) + " 2>" + Quote(dir.File("stderr.txt")) + " </dev/null";
    int raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = nvtest::ReadFile(dir.File("stdout.txt"));
    r.err = nvtest::ReadFile(dir.File("stderr.txt"));
    return r;
}

// The "row" lines of a dump file.
inline std::string RowLines(const std::string& dump) {
    std::istringstream in(dump);
    std::string line, rows;
    while (std::getline(in, line))
        if (line.rfind("row ", 0) == 0) rows += line + "\n";
    return rows;
}

// Lines of `text` that begin with `prefix`.
inline std::vector<std::string> LinesStarting(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

// The four index formats with the table flavour each belongs to and the lock protocol of its
// family; the index file of table STEM.dbf is STEM.EXT. NDX and NTX hold one tag.
struct IndexFormat {
    const char* name;
    const char* flavour;
    const char* extension;
    bool compound;
    TnvLokProtocol protocol;
    std::string File(const std::string& stem) const { return stem + "." + extension; }
};

inline void PrintTo(const IndexFormat& f, std::ostream* os) { *os << f.name; }

inline const IndexFormat kIndexFormats[] = {
    {"Cdx", "foxpro", "cdx", true, TnvLokProtocol::FoxLock},
    {"Mdx", "dbase4", "mdx", true, TnvLokProtocol::DB4Lock},
    {"Ndx", "dbase3", "ndx", false, TnvLokProtocol::Default},
    {"Ntx", "clipper", "ntx", false, TnvLokProtocol::ClipLock},
};

}  // namespace tooltest
