// What the fuzz targets share: a disk held in memory behind the platform seam, the rule that
// splits one fuzz input into a table, a memo file and an index file, and the guard that
// turns a walk running past every record it could possibly visit into a reported hang.
//
// The splitting rule (README.md of this folder says the same):
//
//     input  = selector byte, then the parts, separated by the four bytes "|NV|"
//     part 1 = the table   (/fuzz/t.dbf)
//     part 2 = the memo    (/fuzz/t.dbt and /fuzz/t.fpt, so every version finds it)
//     part 3 = the index   (/fuzz/t.<ext>, the extension chosen by the selector)
//
// A missing part is a missing file. Each target gives the selector's bits their meaning.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nv6_os.h"

namespace nvfuzz {

constexpr std::string_view kSeparator = "|NV|";
constexpr const char* kFolder = "/fuzz";

// One input cut by the rule above.
struct Input {
    uint8_t selector = 0;
    std::vector<std::string_view> parts;

    Input(const uint8_t* data, size_t size) {
        if (size == 0) return;
        selector = data[0];
        std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
        while (parts.size() < 3) {
            size_t at = rest.find(kSeparator);
            if (at == std::string_view::npos) {
                parts.push_back(rest);
                break;
            }
            parts.push_back(rest.substr(0, at));
            rest.remove_prefix(at + kSeparator.size());
        }
    }
    bool Has(size_t part) const { return part < parts.size(); }
};

// Joins parts by the rule above (for the seed maker).
inline std::string Join(uint8_t selector, const std::vector<std::string>& parts) {
    std::string out(1, static_cast<char>(selector));
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += kSeparator;
        out += parts[i];
    }
    return out;
}

// Files in memory, in the one folder /fuzz. Locks are always granted, sleeps return at once
// (the clock still advances by them, so waiting loops end), and a file may not grow past
// kMaxFile: a write that far fails as on a full disk, which the engine must report, rather
// than the harness allocating what a sparse file on disk would not.
class MemoryDisk final : public NvPlatform {
public:
    static constexpr int64_t kMaxFile = int64_t(64) << 20;
    using Bytes = std::vector<uint8_t>;

    void Put(const std::string& name, std::string_view bytes) {
        files_[Path(name)] = std::make_shared<Bytes>(bytes.begin(), bytes.end());
    }
    // The file's bytes, or nullptr.
    const Bytes* Get(const std::string& name) const {
        auto it = files_.find(Path(name));
        return it == files_.end() ? nullptr : it->second.get();
    }
    static std::string Path(const std::string& name) { return std::string(kFolder) + "/" + name; }

    int Open(const std::string& path, bool write, bool create) override {
        auto it = files_.find(path);
        if (it == files_.end()) {
            if (!create || !InFolder(path)) return Fail(ENOENT);
            it = files_.emplace(path, std::make_shared<Bytes>()).first;
        }
        int handle = next_++;
        handles_[handle] = {it->second, write};
        return handle;
    }
    bool Close(int handle) override { return handles_.erase(handle) ? true : Fail(EBADF) == 0; }
    int64_t PRead(int handle, void* buffer, int64_t length, int64_t offset) override {
        Open_* h = Find(handle);
        if (!h || offset < 0 || length < 0) return Fail(EINVAL);
        const Bytes& b = *h->bytes;
        if (offset >= static_cast<int64_t>(b.size())) return 0;
        int64_t n = std::min<int64_t>(length, static_cast<int64_t>(b.size()) - offset);
        std::copy(b.begin() + offset, b.begin() + offset + n, static_cast<uint8_t*>(buffer));
        return n;
    }
    int64_t PWrite(int handle, const void* buffer, int64_t length, int64_t offset) override {
        Open_* h = Find(handle);
        if (!h || !h->write || offset < 0 || length < 0) return Fail(EBADF);
        if (offset + length > kMaxFile) return Fail(ENOSPC);
        Bytes& b = *h->bytes;
        if (static_cast<int64_t>(b.size()) < offset + length) b.resize(static_cast<size_t>(offset + length));
        const uint8_t* from = static_cast<const uint8_t*>(buffer);
        std::copy(from, from + length, b.begin() + offset);
        return length;
    }
    bool Fsync(int handle) override { return Find(handle) != nullptr; }
    bool Truncate(int handle, int64_t size) override {
        Open_* h = Find(handle);
        if (!h || !h->write || size < 0 || size > kMaxFile) return Fail(EINVAL) == 0;
        h->bytes->resize(static_cast<size_t>(size));
        return true;
    }
    int64_t Size(int handle) override {
        Open_* h = Find(handle);
        return h ? static_cast<int64_t>(h->bytes->size()) : Fail(EBADF);
    }
    bool ShareLock(int handle, NvShareLock) override { return Find(handle) != nullptr; }
    bool RangeLock(int handle, int64_t, int64_t, NvRangeLock) override { return Find(handle) != nullptr; }
    bool RenameNoReplace(const std::string& from, const std::string& to) override {
        auto it = files_.find(from);
        if (it == files_.end()) return Fail(ENOENT) == 0;
        if (files_.count(to) || !InFolder(to)) return Fail(EEXIST) == 0;
        files_[to] = it->second;
        files_.erase(it);
        return true;
    }
    bool Unlink(const std::string& path) override { return files_.erase(path) ? true : Fail(ENOENT) == 0; }
    bool Exists(const std::string& path) override { return path == kFolder || files_.count(path) != 0; }
    bool ListDirectory(const std::string& directory, std::vector<std::string>& names) override {
        names.clear();
        std::string folder = directory;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (folder != kFolder) return Fail(ENOENT) == 0;
        for (const auto& [path, bytes] : files_) names.push_back(path.substr(folder.size() + 1));
        return true;
    }
    void SleepMs(int milliseconds) override { clock_ += milliseconds > 0 ? milliseconds : 0; }
    int64_t NowMs() override { return ++clock_; }

private:
    struct Open_ {
        std::shared_ptr<Bytes> bytes;
        bool write = false;
    };
    static int Fail(int error) {
        errno = error;
        return -1;
    }
    static bool InFolder(const std::string& path) {
        std::string_view p = path;
        std::string_view folder = kFolder;
        return p.size() > folder.size() + 1 && p.substr(0, folder.size()) == folder && p[folder.size()] == '/' &&
               p.find('/', folder.size() + 1) == std::string_view::npos;
    }
    Open_* Find(int handle) {
        auto it = handles_.find(handle);
        return it == handles_.end() ? nullptr : &it->second;
    }

    std::map<std::string, std::shared_ptr<Bytes>> files_;
    std::map<int, Open_> handles_;
    int next_ = 3;
    int64_t clock_ = 0;
};

// Installs a fresh memory disk for one input and lays its parts out as files.
class Session {
public:
    Session(const Input& input, std::string_view indexExtension = {}) : use_(disk_) {
        if (input.Has(0)) disk_.Put("t.dbf", input.parts[0]);
        if (input.Has(1)) {
            disk_.Put("t.dbt", input.parts[1]);
            disk_.Put("t.fpt", input.parts[1]);
        }
        if (input.Has(2) && !indexExtension.empty()) disk_.Put("t." + std::string(indexExtension), input.parts[2]);
    }
    MemoryDisk& Disk() { return disk_; }

private:
    MemoryDisk disk_;
    NvPlatformScope use_;
};

// What the engine said about an input it refused: printed when NVFUZZ_MESSAGES is set, so
// that a replay shows which messages damage ends in.
inline void Refused(const std::exception& e) {
    static const bool print = std::getenv("NVFUZZ_MESSAGES") != nullptr;
    if (print) std::fprintf(stderr, "engine: %s\n", e.what());
}

// A walk that takes more steps than anything it walks could hold is an endless loop: the
// process stops here so the fuzzer keeps the input.
class StepGuard {
public:
    explicit StepGuard(int64_t limit) : limit_(limit) {}
    void Step() {
        if (++steps_ > limit_) __builtin_trap();
    }

private:
    int64_t limit_;
    int64_t steps_ = 0;
};

}  // namespace nvfuzz
