// Test support: a second process that works on a file through its own NVO_DiskFile, driven
// by one-line commands over pipes, so locking and share modes can be checked across
// processes. Also a scratch directory that removes itself.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "nv6_disk.h"
#include "nv6_glbl.h"
#include "nv6_os.h"

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-disk-XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        if (made) path_ = made;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Commands: "open", "create", "lock <offset> <length>", "lockfile", "unlock", "close",
// "exit". Replies: "ok", "no" (a refused lock) or "err <message>".
class DiskPeer {
public:
    DiskPeer(const std::string& path, bool shared = true, bool readWrite = true) {
        int down[2], up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(down[1]);
            ::close(up[0]);
            Serve(path, shared, readWrite, down[0], up[1]);
        }
        ::close(down[0]);
        ::close(up[1]);
        toChild_ = down[1];
        fromChild_ = up[0];
    }
    ~DiskPeer() { Exit(); }
    DiskPeer(const DiskPeer&) = delete;
    DiskPeer& operator=(const DiskPeer&) = delete;

    bool Started() const { return pid_ > 0; }
    std::string Do(const std::string& command) {
        if (pid_ <= 0) return "err no peer";
        std::string line = command + "\n";
        if (::write(toChild_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return "err pipe";
        return ReadLine(fromChild_);
    }
    bool Lock(int64_t offset, int64_t length) {
        return Do("lock " + std::to_string(offset) + " " + std::to_string(length)) == "ok";
    }
    // Ends the process (its locks go with it) and returns its exit status.
    int Exit() {
        if (pid_ <= 0) return -1;
        Do("exit");
        ::close(toChild_);
        ::close(fromChild_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    static std::string ReadLine(int fd) {
        std::string line;
        char c;
        while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    static void Reply(int fd, const std::string& text) {
        std::string line = text + "\n";
        if (::write(fd, line.data(), line.size()) < 0) ::_exit(3);
    }

    [[noreturn]] static void Serve(const std::string& path, bool shared, bool readWrite, int in, int out) {
        NvSetPlatform(nullptr);
        // Handles inherited from the parent share its open file descriptions, and with them
        // its locks: closing them here lets the parent's Close really release.
        if (NVobjFileColl::Created()) {
            NVobjFileColl& files = NVobjFileColl::Instance();
            for (int i = 0; i < files.Count(); ++i) ::close(files.Items(i)->Handle());
        }
        auto file = std::make_unique<NVO_DiskFile>(path, shared, readWrite);
        for (;;) {
            std::string line = ReadLine(in);
            std::istringstream words(line);
            std::string verb;
            words >> verb;
            if (verb.empty() || verb == "exit") ::_exit(0);
            try {
                if (verb == "open") {
                    file->Open();
                    Reply(out, "ok");
                } else if (verb == "create") {
                    file->CreateNew();
                    Reply(out, "ok");
                } else if (verb == "lock") {
                    int64_t offset = 0, length = 0;
                    words >> offset >> length;
                    Reply(out, file->LockRange(offset, length) ? "ok" : "no");
                } else if (verb == "lockfile") {
                    Reply(out, file->LockFile() ? "ok" : "no");
                } else if (verb == "unlock") {
                    file->Unlock();
                    Reply(out, "ok");
                } else if (verb == "close") {
                    file->Close();
                    Reply(out, "ok");
                } else {
                    Reply(out, "err unknown command");
                }
            } catch (const Exception& e) {
                Reply(out, "err " + e.Message());
            }
        }
    }

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};
