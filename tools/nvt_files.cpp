#include "nvt_files.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "nv6_glbl.h"
#include "nvt_args.h"

namespace fs = std::filesystem;

namespace {

std::string Reason(const std::error_code& ec) { return ec ? ": " + ec.message() : std::string(); }

}  // namespace

// ---- NvtOutputFile ----

NvtOutputFile::NvtOutputFile(const std::string& target, std::ostream& standardOutput)
    : target_(target), standardOutput_(standardOutput), toStandardOutput_(target == "-") {
    if (toStandardOutput_) return;
    std::error_code ec;
    // A link is followed, so that the file it leads to is replaced and the link stays.
    if (fs::is_symlink(target_, ec)) {
        fs::path resolved = fs::canonical(target_, ec);
        if (!ec) target_ = resolved.string();
    }
    if (fs::is_directory(target_, ec)) throw NvtError("cannot write " + target + ": it is a directory");
    fs::path folder = fs::path(target_).parent_path();
    std::string name = fs::path(target_).filename().string();
    std::random_device random;
    for (int attempt = 0; attempt < 100 && temp_.empty(); ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        std::string candidate = (folder / ("." + name + "." + suffix + ".tmp")).string();
        // "x": made anew or not at all, so no other file is ever taken over.
        if (std::FILE* made = std::fopen(candidate.c_str(), "wbx")) {
            std::fclose(made);
            temp_ = candidate;
        } else if (errno != EEXIST) {
            throw NvtError("cannot write " + target + ": " + std::strerror(errno));
        }
    }
    if (temp_.empty()) throw NvtError("cannot write " + target + ": no free temporary name beside it");
    file_.open(temp_, std::ios::binary | std::ios::trunc);
    if (!file_) {
        fs::remove(temp_, ec);
        throw NvtError("cannot write " + target);
    }
}

NvtOutputFile::~NvtOutputFile() {
    if (toStandardOutput_ || committed_) return;
    file_.close();
    std::error_code ec;
    fs::remove(temp_, ec);
}

void NvtOutputFile::Commit() {
    if (toStandardOutput_) {
        standardOutput_.flush();
        if (!standardOutput_) throw NvtError("error writing to standard output");
        committed_ = true;
        return;
    }
    file_.close();
    if (!file_) throw NvtError("error writing " + target_ + "; it was left as it was");
    // On the device before it takes the target's place: a crash then leaves the old file
    // or the complete new one.
    NvPlatform& os = NvOS();
    int handle = os.Open(temp_, true, false);
    bool synced = handle >= 0 && os.Fsync(handle);
    if (handle >= 0) os.Close(handle);
    if (!synced) throw NvtError("error writing " + target_ + ": " + std::strerror(errno) + "; it was left as it was");
    std::error_code ec;
    fs::file_status old = fs::status(target_, ec);
    if (!ec && fs::exists(old)) fs::permissions(temp_, old.permissions(), ec);
    fs::rename(temp_, target_, ec);
    if (ec) throw NvtError("cannot replace " + target_ + Reason(ec) + "; it was left as it was");
    committed_ = true;
}

bool NvtSameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::equivalent(a, b, ec)) return true;
    // The family's programs find a table's files whatever the letter case of their names,
    // so names that differ only in case count as one.
    auto folded = [&](const std::string& path) {
        std::string s = fs::absolute(path, ec).lexically_normal().string();
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    return folded(a) == folded(b);
}

// ---- NvtUndoJournal ----

int NvtUndoJournal::Open(const std::string& path, bool write, bool create) {
    int handle = NvPlatformWrapper::Open(path, write, create);
    if (handle >= 0) paths_[handle] = path;
    return handle;
}

bool NvtUndoJournal::Close(int handle) {
    paths_.erase(handle);
    return NvPlatformWrapper::Close(handle);
}

bool NvtUndoJournal::Keep(int handle, int64_t offset, int64_t length) {
    auto known = paths_.find(handle);
    if (known == paths_.end() || length <= 0) return true;
    const std::string& path = known->second;
    auto size = originalSize_.find(path);
    if (size == originalSize_.end()) {
        int64_t now = Target().Size(handle);
        if (now < 0) return false;
        size = originalSize_.emplace(path, now).first;
    }
    int64_t end = std::min(offset + length, size->second);
    if (offset >= end) return true;
    // Ranges kept before hold older bytes than any read now: one that covers this write
    // wholly makes another copy useless.
    std::map<int64_t, int64_t>& kept = kept_[path];
    auto after = kept.upper_bound(offset);
    if (after != kept.begin() && std::prev(after)->second >= end) return true;
    Piece piece{path, offset, std::string(static_cast<std::size_t>(end - offset), '\0')};
    for (int64_t done = 0; done < end - offset;) {
        int64_t n = Target().PRead(handle, piece.bytes.data() + done, end - offset - done, offset + done);
        if (n <= 0) return false;
        done += n;
    }
    pieces_.push_back(std::move(piece));
    // Merge [offset, end) into the kept ranges.
    int64_t from = offset, to = end;
    auto it = kept.upper_bound(from);
    if (it != kept.begin() && std::prev(it)->second >= from) --it;
    while (it != kept.end() && it->first <= to) {
        from = std::min(from, it->first);
        to = std::max(to, it->second);
        it = kept.erase(it);
    }
    kept.emplace(from, to);
    return true;
}

int64_t NvtUndoJournal::PWrite(int handle, const void* buffer, int64_t length, int64_t offset) {
    // A write whose old bytes could not be kept is not made: the change could not be undone.
    if (!Keep(handle, offset, length)) return -1;
    return NvPlatformWrapper::PWrite(handle, buffer, length, offset);
}

bool NvtUndoJournal::Truncate(int handle, int64_t size) {
    int64_t now = Target().Size(handle);
    if (now < 0 || !Keep(handle, size, now - size)) return false;
    return NvPlatformWrapper::Truncate(handle, size);
}

void NvtUndoJournal::Undo() {
    NvPlatform& os = Target();
    for (const auto& [path, size] : originalSize_) {
        int handle = os.Open(path, true, false);
        if (handle < 0) throw NvtError("could not put " + path + " back: " + std::strerror(errno));
        bool ok = true;
        // Newest first: where pieces overlap, the oldest one, written last, holds the
        // original bytes.
        for (auto piece = pieces_.rbegin(); ok && piece != pieces_.rend(); ++piece) {
            if (piece->path != path) continue;
            const int64_t length = static_cast<int64_t>(piece->bytes.size());
            for (int64_t done = 0; ok && done < length;) {
                int64_t n = os.PWrite(handle, piece->bytes.data() + done, length - done, piece->offset + done);
                ok = n > 0;
                done += n;
            }
        }
        ok = ok && os.Truncate(handle, size) && os.Fsync(handle);
        int error = errno;
        os.Close(handle);
        if (!ok) throw NvtError("could not put " + path + " back: " + std::strerror(error));
    }
    originalSize_.clear();
    pieces_.clear();
    kept_.clear();
}

// ---- why a file was refused ----

NvtRefusal NvtWhyRefused(const std::string& path, bool write) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return NvtRefusal::Directory;
    NvPlatform& os = NvOS();
    int handle = os.Open(path, false, false);
    if (handle < 0) return errno == EACCES || errno == EPERM ? NvtRefusal::NoRead : NvtRefusal::None;
    os.Close(handle);
    if (write) {
        handle = os.Open(path, true, false);
        if (handle < 0)
            return errno == EACCES || errno == EPERM || errno == EROFS ? NvtRefusal::NoWrite : NvtRefusal::None;
    } else {
        handle = os.Open(path, false, false);
        if (handle < 0) return NvtRefusal::None;
    }
    bool free = os.ShareLock(handle, write ? NvShareLock::Exclusive : NvShareLock::Shared);
    int error = errno;
    os.Close(handle);
    return !free && (error == EWOULDBLOCK || error == EAGAIN) ? NvtRefusal::Locked : NvtRefusal::None;
}

std::string NvtRefusalText(NvtRefusal refusal, const std::string& path) {
    switch (refusal) {
        case NvtRefusal::Directory:
            return path + " is a directory";
        case NvtRefusal::NoRead:
            return "no permission to read " + path;
        case NvtRefusal::NoWrite:
            return "no permission to write " + path;
        case NvtRefusal::Locked:
            return path + " is locked by another program";
        case NvtRefusal::None:
            break;
    }
    return std::string();
}

bool NvtMessageFile(const std::string& text, TnvMsg id, std::string& file) {
    // The message with a marker for its file shows what comes before and after the name.
    static const std::string kMarker = "\x01";
    std::string shape = NvMessage(id, {kMarker});
    std::size_t at = shape.find(kMarker);
    if (at == std::string::npos) return false;
    std::string before = shape.substr(0, at), after = shape.substr(at + 1);
    if (text.size() <= before.size() + after.size() || text.compare(0, before.size(), before) != 0 ||
        text.compare(text.size() - after.size(), after.size(), after) != 0)
        return false;
    file = text.substr(before.size(), text.size() - before.size() - after.size());
    return true;
}
