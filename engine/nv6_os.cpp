#include "nv6_os.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

class PosixPlatform final : public NvPlatform {
public:
    int Open(const std::string& path, bool write, bool create) override {
        int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
        if (create) flags |= O_CREAT;
        int fd;
        do {
            fd = ::open(path.c_str(), flags, 0666);
        } while (fd < 0 && errno == EINTR);
        return fd;
    }

    bool Close(int handle) override {
        // Linux releases the descriptor even when close reports EINTR; retrying could close
        // a descriptor another part of the program has just been given.
        return ::close(handle) == 0;
    }

    int64_t PRead(int handle, void* buffer, int64_t length, int64_t offset) override {
        ssize_t n;
        do {
            n = ::pread(handle, buffer, static_cast<size_t>(length), static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        return n;
    }

    int64_t PWrite(int handle, const void* buffer, int64_t length, int64_t offset) override {
        ssize_t n;
        do {
            n = ::pwrite(handle, buffer, static_cast<size_t>(length), static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        return n;
    }

    bool Fsync(int handle) override {
        int rc;
        do {
            rc = ::fsync(handle);
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

    bool Truncate(int handle, int64_t size) override {
        int rc;
        do {
            rc = ::ftruncate(handle, static_cast<off_t>(size));
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

    int64_t Size(int handle) override {
        struct stat st {};
        if (::fstat(handle, &st) != 0) return -1;
        return static_cast<int64_t>(st.st_size);
    }

    bool ShareLock(int handle, NvShareLock mode) override {
        int op = mode == NvShareLock::Exclusive ? LOCK_EX | LOCK_NB
                 : mode == NvShareLock::Shared  ? LOCK_SH | LOCK_NB
                                                : LOCK_UN;
        int rc;
        do {
            rc = ::flock(handle, op);
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

    bool RangeLock(int handle, int64_t offset, int64_t length, NvRangeLock mode) override {
        static_assert(sizeof(off_t) == 8, "byte-range locks beyond 2 GB need a 64-bit off_t");
        if (offset < 0 || length <= 0) {
            errno = EINVAL;
            return false;
        }
        struct flock fl {};
        fl.l_type = mode == NvRangeLock::Write  ? F_WRLCK
                    : mode == NvRangeLock::Read ? F_RDLCK
                                                : F_UNLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(offset);
        fl.l_len = static_cast<off_t>(length);
        fl.l_pid = 0;  // required to be 0 for open-file-description locks
        int rc;
        do {
            rc = ::fcntl(handle, F_OFD_SETLK, &fl);
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

    bool RenameNoReplace(const std::string& from, const std::string& to) override {
#ifdef SYS_renameat2
        long rc = ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                            1u /* RENAME_NOREPLACE */);
        if (rc == 0) return true;
        if (errno != ENOSYS && errno != EINVAL) return false;
#endif
        // File systems without renameat2: link + unlink never replaces either, since link
        // refuses an existing target.
        if (::link(from.c_str(), to.c_str()) != 0) return false;
        if (::unlink(from.c_str()) != 0) {
            int saved = errno;
            ::unlink(to.c_str());
            errno = saved;
            return false;
        }
        return true;
    }

    bool RenameReplace(const std::string& from, const std::string& to) override {
        return ::rename(from.c_str(), to.c_str()) == 0;
    }

    bool Unlink(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

    bool Exists(const std::string& path) override {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0;
    }

    bool ListDirectory(const std::string& directory, std::vector<std::string>& names) override {
        names.clear();
        DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
        if (!dir) return false;
        while (dirent* entry = ::readdir(dir)) {
            std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            names.emplace_back(name);
        }
        ::closedir(dir);
        return true;
    }

    void SleepMs(int milliseconds) override {
        if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

    const void* MapForReading(int handle, int64_t length) override {
        if (length <= 0) return nullptr;
        void* at = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, handle, 0);
        return at == MAP_FAILED ? nullptr : at;
    }

    void Unmap(const void* address, int64_t length) override {
        if (address) ::munmap(const_cast<void*>(address), static_cast<size_t>(length));
    }

    int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
};

PosixPlatform& Posix() {
    // Never destroyed: files may still be closed from exit handlers.
    static PosixPlatform* posix = new PosixPlatform;
    return *posix;
}

NvPlatform* g_installed = nullptr;

}  // namespace

bool NvPlatform::RenameReplace(const std::string& from, const std::string& to) {
    if (Exists(to) && !Unlink(to)) return false;
    return RenameNoReplace(from, to);
}

NvPlatform& NvPosixPlatform() { return Posix(); }

NvPlatform& NvOS() { return g_installed ? *g_installed : Posix(); }

NvPlatform* NvSetPlatform(NvPlatform* platform) {
    NvPlatform* previous = &NvOS();
    g_installed = platform;
    return previous;
}

std::string NvAbsolutePath(std::string_view name) {
    if (name.empty()) return std::string();
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(std::filesystem::path(name), ec);
    if (ec) return std::string(name);
    return full.lexically_normal().string();
}

// ---- NvPlatformWrapper ----

int NvPlatformWrapper::Open(const std::string& p, bool w, bool c) { return target_->Open(p, w, c); }
bool NvPlatformWrapper::Close(int h) { return target_->Close(h); }
int64_t NvPlatformWrapper::PRead(int h, void* b, int64_t l, int64_t o) { return target_->PRead(h, b, l, o); }
int64_t NvPlatformWrapper::PWrite(int h, const void* b, int64_t l, int64_t o) {
    return target_->PWrite(h, b, l, o);
}
bool NvPlatformWrapper::Fsync(int h) { return target_->Fsync(h); }
bool NvPlatformWrapper::Truncate(int h, int64_t s) { return target_->Truncate(h, s); }
int64_t NvPlatformWrapper::Size(int h) { return target_->Size(h); }
bool NvPlatformWrapper::ShareLock(int h, NvShareLock m) { return target_->ShareLock(h, m); }
bool NvPlatformWrapper::RangeLock(int h, int64_t o, int64_t l, NvRangeLock m) {
    return target_->RangeLock(h, o, l, m);
}
bool NvPlatformWrapper::RenameNoReplace(const std::string& f, const std::string& t) {
    return target_->RenameNoReplace(f, t);
}
bool NvPlatformWrapper::RenameReplace(const std::string& f, const std::string& t) {
    return target_->RenameReplace(f, t);
}
bool NvPlatformWrapper::Unlink(const std::string& p) { return target_->Unlink(p); }
bool NvPlatformWrapper::Exists(const std::string& p) { return target_->Exists(p); }
bool NvPlatformWrapper::ListDirectory(const std::string& d, std::vector<std::string>& n) {
    return target_->ListDirectory(d, n);
}
void NvPlatformWrapper::SleepMs(int ms) { target_->SleepMs(ms); }
int64_t NvPlatformWrapper::NowMs() { return target_->NowMs(); }

bool NvOsOpChangesDisk(NvOsOp op) {
    switch (op) {
    case NvOsOp::Create:
    case NvOsOp::Write:
    case NvOsOp::Fsync:
    case NvOsOp::Truncate:
    case NvOsOp::Rename:
    case NvOsOp::Unlink:
        return true;
    default:
        return false;
    }
}

// ---- NvFaultPlatform ----

namespace {

[[noreturn]] void DieNow() {
    // SIGKILL cannot be caught: nothing of the program runs after it, as after a power cut
    // (the kernel still has every byte already written).
    ::kill(::getpid(), SIGKILL);
    ::_exit(137);
}

}  // namespace

void NvFaultPlatform::Fail(NvOsOp op, int n, int error, NvFault fault, std::string path) {
    rules_.push_back({op, n, n, error, fault, std::move(path)});
}

void NvFaultPlatform::FailFrom(NvOsOp op, int n, int error, NvFault fault, std::string path) {
    rules_.push_back({op, n, 0, error, fault, std::move(path)});
}

void NvFaultPlatform::ResetCounts() {
    for (int i = 0; i < static_cast<int>(NvOsOp::Count_); ++i) {
        calls_[i] = 0;
        pathCalls_[i].clear();
    }
    injected_ = 0;
    steps_ = 0;
    sleptMs_ = 0;
}

NvFaultPlatform::Hit NvFaultPlatform::Count(NvOsOp op, const std::string& path) {
    int index = static_cast<int>(op);
    int all = ++calls_[index];
    int onPath = 0;
    if (!path.empty()) {
        auto& list = pathCalls_[index];
        auto it = list.begin();
        while (it != list.end() && it->first != path) ++it;
        if (it == list.end()) {
            list.emplace_back(path, 0);
            it = list.end() - 1;
        }
        onPath = ++it->second;
    }
    if (NvOsOpChangesDisk(op) && ++steps_ == killStep_) DieNow();
    Hit hit;
    for (const Rule& rule : rules_) {
        if (rule.op != op) continue;
        int n = all;
        if (!rule.path.empty()) {
            if (rule.path != path) continue;
            n = onPath;
        }
        if (n >= rule.first && (rule.last == 0 || n <= rule.last)) {
            hit.hit = true;
            hit.error = rule.error ? rule.error : EIO;
            hit.fault = rule.fault;
            if (hit.fault == NvFault::Kill) DieNow();
            ++injected_;
            break;
        }
    }
    return hit;
}

std::string NvFaultPlatform::PathOf(int handle) const {
    for (const auto& entry : handles_)
        if (entry.first == handle) return entry.second;
    return std::string();
}

bool NvFaultPlatform::Failed(const Hit& hit) {
    errno = hit.error;
    return false;
}

int NvFaultPlatform::Open(const std::string& path, bool write, bool create) {
    Hit hit = Count(NvOsOp::Open, path);
    if (create) {
        Hit created = Count(NvOsOp::Create, path);
        if (!hit.hit) hit = created;
    }
    if (hit.hit) return Failed(hit), -1;
    int handle = NvPlatformWrapper::Open(path, write, create);
    if (handle >= 0) handles_.emplace_back(handle, path);
    return handle;
}

bool NvFaultPlatform::Close(int handle) {
    Hit hit = Count(NvOsOp::Close, PathOf(handle));
    for (auto it = handles_.begin(); it != handles_.end(); ++it)
        if (it->first == handle) {
            handles_.erase(it);
            break;
        }
    // The handle is released even when the fault reports an error, as close(2) does.
    bool ok = NvPlatformWrapper::Close(handle);
    if (hit.hit) return Failed(hit);
    return ok;
}

int64_t NvFaultPlatform::PRead(int handle, void* buffer, int64_t length, int64_t offset) {
    Hit hit = Count(NvOsOp::Read, PathOf(handle));
    if (hit.hit && hit.fault == NvFault::Short)
        return NvPlatformWrapper::PRead(handle, buffer, length / 2, offset);
    if (hit.hit) return Failed(hit), -1;
    return NvPlatformWrapper::PRead(handle, buffer, length, offset);
}

int64_t NvFaultPlatform::PWrite(int handle, const void* buffer, int64_t length, int64_t offset) {
    Hit hit = Count(NvOsOp::Write, PathOf(handle));
    if (hit.hit && hit.fault == NvFault::Short) {
        if (length / 2 == 0) return 0;
        return NvPlatformWrapper::PWrite(handle, buffer, length / 2, offset);
    }
    if (hit.hit) return Failed(hit), -1;
    return NvPlatformWrapper::PWrite(handle, buffer, length, offset);
}

bool NvFaultPlatform::Fsync(int handle) {
    Hit hit = Count(NvOsOp::Fsync, PathOf(handle));
    return hit.hit ? Failed(hit) : NvPlatformWrapper::Fsync(handle);
}

bool NvFaultPlatform::Truncate(int handle, int64_t size) {
    Hit hit = Count(NvOsOp::Truncate, PathOf(handle));
    return hit.hit ? Failed(hit) : NvPlatformWrapper::Truncate(handle, size);
}

int64_t NvFaultPlatform::Size(int handle) {
    Hit hit = Count(NvOsOp::Size, PathOf(handle));
    if (hit.hit) return Failed(hit), -1;
    return NvPlatformWrapper::Size(handle);
}

bool NvFaultPlatform::ShareLock(int handle, NvShareLock mode) {
    Hit hit = Count(NvOsOp::ShareLock, PathOf(handle));
    return hit.hit ? Failed(hit) : NvPlatformWrapper::ShareLock(handle, mode);
}

bool NvFaultPlatform::RangeLock(int handle, int64_t offset, int64_t length, NvRangeLock mode) {
    Hit hit = Count(NvOsOp::RangeLock, PathOf(handle));
    return hit.hit ? Failed(hit) : NvPlatformWrapper::RangeLock(handle, offset, length, mode);
}

bool NvFaultPlatform::RenameNoReplace(const std::string& from, const std::string& to) {
    Hit hit = Count(NvOsOp::Rename, from);
    return hit.hit ? Failed(hit) : NvPlatformWrapper::RenameNoReplace(from, to);
}

bool NvFaultPlatform::RenameReplace(const std::string& from, const std::string& to) {
    Hit hit = Count(NvOsOp::Rename, from);
    return hit.hit ? Failed(hit) : NvPlatformWrapper::RenameReplace(from, to);
}

bool NvFaultPlatform::Unlink(const std::string& path) {
    Hit hit = Count(NvOsOp::Unlink, path);
    return hit.hit ? Failed(hit) : NvPlatformWrapper::Unlink(path);
}

bool NvFaultPlatform::Exists(const std::string& path) {
    Hit hit = Count(NvOsOp::Exists, path);
    return hit.hit ? Failed(hit) : NvPlatformWrapper::Exists(path);
}

bool NvFaultPlatform::ListDirectory(const std::string& directory, std::vector<std::string>& names) {
    Hit hit = Count(NvOsOp::ListDir, directory);
    if (hit.hit) {
        names.clear();
        return Failed(hit);
    }
    return NvPlatformWrapper::ListDirectory(directory, names);
}

void NvFaultPlatform::SleepMs(int milliseconds) {
    Count(NvOsOp::Sleep, std::string());
    sleptMs_ += milliseconds;
    if (realSleep_) NvPlatformWrapper::SleepMs(milliseconds);
}
