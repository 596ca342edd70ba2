// The engine's one seam to the operating system: file handles, positioned transfers, share
// locks, byte-range locks, renaming, directory listing and sleeping.
//
// Everything the engine does to a file goes through the `NvPlatform` currently installed
// (`NvOS()`); nv6_os.cpp holds the POSIX implementation and is the only engine unit that
// includes POSIX headers. Tests install a wrapper (`NvPlatformScope`) to count calls and to
// make chosen calls fail, which is how crash safety of multi-step file operations is tested:
//
//     NvFaultPlatform faults;                      // forwards to the platform installed now
//     faults.Fail(NvOsOp::Write, 3);               // the 3rd write fails (EIO)
//     faults.FailFrom(NvOsOp::Rename, 1, ENOSPC);  // every rename from the 1st on fails
//     faults.Fail(NvOsOp::Write, 1, 0, NvFault::Short, "/tmp/t/a.dbf"); // only that file
//     NvPlatformScope use(faults);                 // installed until `use` goes out of scope
//     ... run the operation ...
//     EXPECT_EQ(faults.Calls(NvOsOp::Fsync), 2);
//
// A crash is simulated in a forked child: `faults.KillAtStep(n)` (or a rule with
// `NvFault::Kill`) ends the process by SIGKILL just before the n-th call that changes the
// disk, so no destructor, handler or clean-up of the engine runs.
//
// The platform is process-wide and not thread-safe; the engine is single-threaded.
#pragma once

#include <cstdint>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

// Share lock taken on a whole open file (flock): many Shared holders or one Exclusive.
enum class NvShareLock { Shared, Exclusive, Unlock };

// Kind of byte-range lock (open-file-description locks: owned by the handle, not the
// process, so two handles in one process conflict like two processes do).
enum class NvRangeLock { Write, Read, Unlock };

// Operations of the platform, for counting and fault injection.
enum class NvOsOp {
    Open,
    Create,  // an Open that may create the file; counted as an Open too
    Close,
    Read,
    Write,
    Fsync,
    Truncate,
    Size,
    ShareLock,
    RangeLock,
    Rename,
    Unlink,
    Exists,
    ListDir,
    Sleep,
    Count_
};

// The operating-system interface. Calls report failure by their result and leave the
// reason in `errno` (as POSIX does), so a wrapper can fake any failure.
class NvPlatform {
public:
    virtual ~NvPlatform() = default;

    // Opens `path`; read-write when `write`, creating it (never truncating) when `create`.
    // Returns a handle >= 0, or -1 on failure.
    virtual int Open(const std::string& path, bool write, bool create) = 0;
    // Closes the handle; false when the OS reports an error (the handle is gone anyway).
    virtual bool Close(int handle) = 0;
    // One transfer of at most `length` bytes at `offset`; may move fewer. Returns the bytes
    // moved (0 at end of file for reads), or -1 on failure. Interruptions are retried.
    virtual int64_t PRead(int handle, void* buffer, int64_t length, int64_t offset) = 0;
    virtual int64_t PWrite(int handle, const void* buffer, int64_t length, int64_t offset) = 0;
    // Writes the file's buffers to the device.
    virtual bool Fsync(int handle) = 0;
    // Sets the file's length.
    virtual bool Truncate(int handle, int64_t size) = 0;
    // The file's length in bytes, or -1 on failure.
    virtual int64_t Size(int handle) = 0;
    // Takes (non-blocking) or drops a whole-file share lock; false when refused or failed.
    virtual bool ShareLock(int handle, NvShareLock mode) = 0;
    // Takes (non-blocking) or drops a byte-range lock at 64-bit offsets.
    // REQUIRES: offset >= 0, length > 0.
    virtual bool RangeLock(int handle, int64_t offset, int64_t length, NvRangeLock mode) = 0;
    // Renames `from` to `to`; fails (EEXIST) rather than replace an existing `to`.
    virtual bool RenameNoReplace(const std::string& from, const std::string& to) = 0;
    // Renames `from` to `to`, replacing an existing `to` in one step where the platform can
    // (POSIX rename), so that `to` names the old or the new file at every moment. The
    // default removes `to` first, for platforms without that.
    virtual bool RenameReplace(const std::string& from, const std::string& to);
    // Removes the file.
    virtual bool Unlink(const std::string& path) = 0;
    // True when something exists under `path` (symbolic links are followed).
    virtual bool Exists(const std::string& path) = 0;
    // Names (no "." or "..") of the entries of `directory`; false when it cannot be read.
    virtual bool ListDirectory(const std::string& directory, std::vector<std::string>& names) = 0;
    // Waits `milliseconds`.
    virtual void SleepMs(int milliseconds) = 0;
    // Milliseconds of a monotonic clock.
    virtual int64_t NowMs() = 0;
    // Maps the first `length` bytes of the file read-only, sharing the file's pages, so
    // that writes through the handle show in it; nullptr where the platform cannot. Only
    // the POSIX platform maps: a wrapper keeps the default, so that the reads it counts and
    // fails still reach it.
    virtual const void* MapForReading(int handle, int64_t length) {
        (void)handle;
        (void)length;
        return nullptr;
    }
    // Undoes a MapForReading of `length` bytes.
    virtual void Unmap(const void* address, int64_t length) {
        (void)address;
        (void)length;
    }
};

// The platform in use: the POSIX one unless a test installed another.
NvPlatform& NvOS();
// The POSIX implementation (always available, for wrappers to forward to).
NvPlatform& NvPosixPlatform();
// Installs `platform` (nullptr: the POSIX one) and returns the one that was installed.
// The caller keeps `platform` alive while it is installed.
NvPlatform* NvSetPlatform(NvPlatform* platform);

// Installs a platform for the lifetime of the scope and puts the previous one back.
class NvPlatformScope {
public:
    explicit NvPlatformScope(NvPlatform& platform) : previous_(NvSetPlatform(&platform)) {}
    ~NvPlatformScope() { NvSetPlatform(previous_); }
    NvPlatformScope(const NvPlatformScope&) = delete;
    NvPlatformScope& operator=(const NvPlatformScope&) = delete;

private:
    NvPlatform* previous_;
};

// Forwards every call to a target platform; derive from it to change a few calls.
class NvPlatformWrapper : public NvPlatform {
public:
    // `target` defaults to the platform installed at construction.
    explicit NvPlatformWrapper(NvPlatform* target = nullptr) : target_(target ? target : &NvOS()) {}
    NvPlatform& Target() const { return *target_; }

    int Open(const std::string& path, bool write, bool create) override;
    bool Close(int handle) override;
    int64_t PRead(int handle, void* buffer, int64_t length, int64_t offset) override;
    int64_t PWrite(int handle, const void* buffer, int64_t length, int64_t offset) override;
    bool Fsync(int handle) override;
    bool Truncate(int handle, int64_t size) override;
    int64_t Size(int handle) override;
    bool ShareLock(int handle, NvShareLock mode) override;
    bool RangeLock(int handle, int64_t offset, int64_t length, NvRangeLock mode) override;
    bool RenameNoReplace(const std::string& from, const std::string& to) override;
    bool RenameReplace(const std::string& from, const std::string& to) override;
    bool Unlink(const std::string& path) override;
    bool Exists(const std::string& path) override;
    bool ListDirectory(const std::string& directory, std::vector<std::string>& names) override;
    void SleepMs(int milliseconds) override;
    int64_t NowMs() override;

private:
    NvPlatform* target_;
};

// What an injected fault does to the call it hits.
enum class NvFault {
    Fail,   // the call fails with the rule's errno and does nothing
    Short,  // a read or write moves only half the bytes asked (at least 0); others: Fail
    Kill,   // the process dies by SIGKILL before the call does anything
};

// Operations that change what is on disk (the steps a crash can fall between): creating
// opens, writes, flushes, truncations, renames and removals.
bool NvOsOpChangesDisk(NvOsOp op);

// A wrapper that counts every call by operation and makes chosen calls fail. A rule hits
// the calls numbered first..last (1-based, counted per operation and, when the rule names a
// path, per path; last 0 = no end). Calls on handles are matched to the path they were
// opened with. Sleeps are counted and, unless `RealSleep(true)`, return at once, so retry
// loops run fast under test.
class NvFaultPlatform : public NvPlatformWrapper {
public:
    explicit NvFaultPlatform(NvPlatform* target = nullptr) : NvPlatformWrapper(target) {}

    // Makes the `n`-th call of `op` fail.
    void Fail(NvOsOp op, int n, int error = 0, NvFault fault = NvFault::Fail,
              std::string path = {});
    // Makes every call of `op` from the `n`-th on fail.
    void FailFrom(NvOsOp op, int n, int error = 0, NvFault fault = NvFault::Fail,
                  std::string path = {});
    // Kills the process (SIGKILL) just before the `n`-th call, counted over all operations,
    // that changes the disk (NvOsOpChangesDisk); 0 switches it off.
    void KillAtStep(int n) { killStep_ = n; }
    // Calls so far that changed the disk (or were about to).
    int Steps() const { return steps_; }
    // Drops every rule and the kill step (the counters stay).
    void ClearFaults() {
        rules_.clear();
        killStep_ = 0;
    }
    // Calls of `op` so far (all paths), including failed ones.
    int Calls(NvOsOp op) const { return calls_[static_cast<int>(op)]; }
    // Faults injected so far.
    int Injected() const { return injected_; }
    // Milliseconds all sleeps asked for.
    int64_t SleptMs() const { return sleptMs_; }
    void ResetCounts();
    void RealSleep(bool on) { realSleep_ = on; }

    int Open(const std::string& path, bool write, bool create) override;
    bool Close(int handle) override;
    int64_t PRead(int handle, void* buffer, int64_t length, int64_t offset) override;
    int64_t PWrite(int handle, const void* buffer, int64_t length, int64_t offset) override;
    bool Fsync(int handle) override;
    bool Truncate(int handle, int64_t size) override;
    int64_t Size(int handle) override;
    bool ShareLock(int handle, NvShareLock mode) override;
    bool RangeLock(int handle, int64_t offset, int64_t length, NvRangeLock mode) override;
    bool RenameNoReplace(const std::string& from, const std::string& to) override;
    bool RenameReplace(const std::string& from, const std::string& to) override;
    bool Unlink(const std::string& path) override;
    bool Exists(const std::string& path) override;
    bool ListDirectory(const std::string& directory, std::vector<std::string>& names) override;
    void SleepMs(int milliseconds) override;

private:
    struct Rule {
        NvOsOp op;
        int first;
        int last;
        int error;
        NvFault fault;
        std::string path;
    };
    struct Hit {
        bool hit = false;
        int error = 0;
        NvFault fault = NvFault::Fail;
    };
    // Counts the call and tells whether a rule hits it.
    Hit Count(NvOsOp op, const std::string& path);
    std::string PathOf(int handle) const;
    // Sets errno for a failing call and returns false.
    static bool Failed(const Hit& hit);

    std::vector<Rule> rules_;
    int calls_[static_cast<int>(NvOsOp::Count_)] = {};
    std::vector<std::pair<std::string, int>> pathCalls_[static_cast<int>(NvOsOp::Count_)];
    std::vector<std::pair<int, std::string>> handles_;
    int injected_ = 0;
    int steps_ = 0;
    int killStep_ = 0;
    int64_t sleptMs_ = 0;
    bool realSleep_ = false;
};

// `name` made absolute from the current directory and normalised lexically ("a/../b" is
// "b"); symbolic links are not resolved and the file need not exist. An empty name, or one
// the current directory cannot be had for, comes back unchanged.
std::string NvAbsolutePath(std::string_view name);
