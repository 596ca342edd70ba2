// What the `norvane` tool does to files beside the engine: an output file that replaces its
// target only once it is complete, a journal that puts files back as they were when an
// import fails half-way, and the reason a file could not be opened, told in words a user
// can act on.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "nv6_cnst.h"
#include "nv6_os.h"

// A file written under a temporary name in its target's folder and renamed over the target
// by Commit; left uncommitted, the temporary file is removed, so a failed export never
// leaves a cut or emptied target behind. The target "-" is `standardOutput` itself.
class NvtOutputFile {
public:
    // "cannot write TARGET: ..." when the temporary file cannot be made.
    NvtOutputFile(const std::string& target, std::ostream& standardOutput);
    ~NvtOutputFile();
    NvtOutputFile(const NvtOutputFile&) = delete;
    NvtOutputFile& operator=(const NvtOutputFile&) = delete;

    std::ostream& Stream() { return toStandardOutput_ ? standardOutput_ : file_; }
    // The temporary file beside the target (for writers that write it by name).
    const std::string& TemporaryPath() const { return temp_; }
    // Writes the file to the device and puts it in the target's place (with the target's
    // permissions when it existed). "error writing TARGET: ..." when any write failed.
    void Commit();

private:
    std::string target_;
    std::string temp_;
    std::ofstream file_;
    std::ostream& standardOutput_;
    bool toStandardOutput_;
    bool committed_ = false;
};

// Whether `a` and `b` name the same file: the same file reached by links, or names that
// differ only in letter case.
bool NvtSameFile(const std::string& a, const std::string& b);

// A platform wrapper that, while installed, keeps the bytes every write and truncation is
// about to replace in the files as they were at their first change, so that Undo can put
// every file back. Files must be opened while it is installed (it knows files by the path
// they were opened with).
class NvtUndoJournal : public NvPlatformWrapper {
public:
    NvtUndoJournal() = default;

    int Open(const std::string& path, bool write, bool create) override;
    bool Close(int handle) override;
    int64_t PWrite(int handle, const void* buffer, int64_t length, int64_t offset) override;
    bool Truncate(int handle, int64_t size) override;

    // Puts every changed file back as it was; call it after the files were closed. Raises
    // NvtError naming the first file that could not be put back.
    void Undo();

private:
    // Keeps the bytes [offset, offset + length) of the file open as `handle` as far as they
    // lie inside its original length and were not kept before.
    bool Keep(int handle, int64_t offset, int64_t length);

    struct Piece {
        std::string path;
        int64_t offset;
        std::string bytes;
    };
    std::map<int, std::string> paths_;
    std::map<std::string, int64_t> originalSize_;
    // Per file, the ranges already kept (start -> end, merged).
    std::map<std::string, std::map<int64_t, int64_t>> kept_;
    std::vector<Piece> pieces_;
};

// Why a file the engine refused to open ("Access denied to file %s") was refused, in words
// a user can act on: it is a directory, may not be read or written, or another program
// holds it. Empty when none of these is found (the obstacle has gone).
enum class NvtRefusal { None, Directory, NoRead, NoWrite, Locked };
NvtRefusal NvtWhyRefused(const std::string& path, bool write);
std::string NvtRefusalText(NvtRefusal refusal, const std::string& path);

// The file an engine message `text` of kind `id` (whose only argument is a file) names;
// false when `text` is not such a message.
bool NvtMessageFile(const std::string& text, TnvMsg id, std::string& file);
