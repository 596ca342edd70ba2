// Several real processes on one shared table with an open index: each opens its own files
// after fork (the byte-range locks belong to the open file description, so handles shared
// with the parent would prove nothing). Writers append and edit, a walker walks the tag
// meanwhile; afterwards every record is there once with its last value, the header count
// matches the file, and `norvane check` finds every tag equal to a fresh build. The lock
// offsets are probed with raw F_OFD_GETLK, since two copies of our own code excluding each
// other would agree on any offset.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nv6_bytes.h"
#include "nv6_dbsy.h"
#include "nv6_disk.h"
#include "nv6_os.h"
#include "nv_tree_check.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using tooltest::Result;
using tooltest::Tool;
using Format = tooltest::IndexFormat;

// Records each writer appends; PELMORA_CONCURRENT_SCALE (a percentage) shrinks or grows it.
int PerWriter() {
    const char* scale = std::getenv("PELMORA_CONCURRENT_SCALE");
    const int percent = scale ? std::max(1, std::atoi(scale)) : 100;
    return 1000 * percent / 100;
}

uint32_t Seed() {
    const char* given = std::getenv("PELMORA_CONCURRENT_SEED");
    return given ? static_cast<uint32_t>(std::strtoul(given, nullptr, 10))
                 : static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::string RandomName(std::mt19937& rng) {
    std::string name(8, ' ');
    for (char& c : name) c = static_cast<char>('A' + rng() % 26);
    return name;
}

// Waits for `pid` at most `seconds`; a child still running then is killed and reported as
// hanging (-1). Otherwise its exit code, or 128 + the signal that ended it.
int WaitFor(pid_t pid, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return -2;
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Runs `body` in a child process; its result (0 = fine) is the child's exit code, an
// exception an exit code of 9 with the message in `errors`.
template <class Body>
pid_t Spawn(const std::string& errors, Body body) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int rc = 9;
    try {
        rc = body();
    } catch (const std::exception& e) {
        std::ofstream(errors, std::ios::app) << e.what() << "\n";
    }
    std::fflush(nullptr);
    ::_exit(rc);
}

// The engine gives up a lock after 5 seconds, a limit for people waiting. Under sanitizers
// on a loaded machine five programs can keep one from a lock that long without anything
// being wrong, so the test's programs wait for a refused lock up to 60 seconds before the
// engine's own retries count it as refused.
class PatientLocks : public NvPlatformWrapper {
public:
    bool RangeLock(int handle, int64_t offset, int64_t length, NvRangeLock mode) override {
        if (mode == NvRangeLock::Unlock) return NvPlatformWrapper::RangeLock(handle, offset, length, mode);
        for (int attempt = 0; attempt < 3000; ++attempt) {
            if (NvPlatformWrapper::RangeLock(handle, offset, length, mode)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

// A child that holds locks until told to go on: `Step` waits for its signal, `Go` lets it
// take the next step. A test that stops early kills it rather than leave it blocked.
class Holder {
public:
    Holder() {
        if (::pipe(toParent_) != 0 || ::pipe(toChild_) != 0) std::abort();
    }
    ~Holder() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        for (int fd : {toParent_[0], toParent_[1], toChild_[0], toChild_[1]}) ::close(fd);
    }
    template <class Body>
    void Start(const std::string& errors, Body body) {
        pid_ = Spawn(errors, body);
    }
    // In the child: tells the parent it is ready and waits for its go-ahead.
    bool Signal() {
        char c = 'r';
        return ::write(toParent_[1], &c, 1) == 1 && ::read(toChild_[0], &c, 1) == 1;
    }
    // In the parent.
    bool Step() {
        char c = 0;
        return ::read(toParent_[0], &c, 1) == 1;
    }
    void Go() {
        if (::write(toChild_[1], "g", 1) != 1) std::abort();
    }
    int Finish(int seconds) {
        reaped_ = true;
        return WaitFor(pid_, seconds);
    }

private:
    int toParent_[2] = {-1, -1}, toChild_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool reaped_ = false;
};

class ConcurrentPrograms : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        table_ = dir_.File("c.dbf");
        index_ = dir_.File(GetParam().File("c"));
        errors_ = dir_.File("errors.txt");
        seed_ = Seed();
        std::printf("concurrent programs: seed %u (PELMORA_CONCURRENT_SEED repeats it)\n", seed_);
        std::fflush(stdout);  // children would print it again from their copy of the buffer
        RecordProperty("seed", std::to_string(seed_));
        ASSERT_EQ(Tool({"create", table_, "--flavour", GetParam().flavour, "--fields", "ID C 6,NAME C 8,NUM N 6 0"})
                      .status,
                  0);
        if (GetParam().compound) {
            ASSERT_EQ(Tool({"index", table_, "--file", index_, "--tag", "NAME", "--key", "NAME"}).status, 0);
            ASSERT_EQ(Tool({"index", table_, "--file", index_, "--tag", "NUM", "--key", "NUM"}).status, 0);
        } else {
            ASSERT_EQ(Tool({"index", table_, "--file", index_, "--tag", "NAME", "--key", "NAME"}).status, 0);
        }
    }

    std::unique_ptr<NVO_dBHandler> Open() {
        auto t = std::make_unique<NVO_dBHandler>(table_, true, true, "");
        t->SetLockProtocol(GetParam().protocol);
        if (t->OpenIndexFiles(index_, GetParam().compound ? "NAME" : "C") != 0)
            throw std::runtime_error("index file not opened");
        t->SetLockProtocol(GetParam().protocol);
        return t;
    }

    // Appends `count` records "<who><seq>" and edits every fourth one again (its own
    // records only, under a record lock); writes "ID NAME" of each record's last value to
    // `log`. 0 when done, 2 when a lock on its own record was refused.
    int Write(char who, int count, uint32_t seed, const std::string& log) {
        std::mt19937 rng(seed);
        auto t = Open();
        std::map<int32_t, std::pair<std::string, std::string>> mine;  // record -> (id, name)
        for (int i = 1; i <= count; ++i) {
            char id[16];
            std::snprintf(id, sizeof id, "%c%05d", who, i);
            const std::string name = RandomName(rng);
            t->BlankRecord();
            t->PutRawByName("ID", id);
            t->PutRawByName("NAME", name);
            t->SetNumberByName("NUM", static_cast<long double>(rng() % 100000));
            t->Append();
            mine[t->CurrentRecord()] = {id, name};
            if (i % 4 == 0) {
                auto it = mine.begin();
                std::advance(it, static_cast<long>(rng() % mine.size()));
                t->SetOrder("", true);
                t->Go(it->first);
                if (!t->LockRecord()) return 2;
                it->second.second = RandomName(rng);
                t->PutRawByName("NAME", it->second.second);
                t->SetNumberByName("NUM", static_cast<long double>(rng() % 100000));
                t->WriteRecord(it->first);
                t->Unlock();
            }
        }
        std::ofstream out(log);
        for (const auto& [record, value] : mine) out << value.first << " " << value.second << "\n";
        return 0;
    }

    // Walks the NAME order again and again until `stop` exists. Every walk must end (no
    // more steps than 4 times the records the table can have) and meet each record of
    // `stable` (records nobody changes) exactly once. 0 when so, 3 for a walk that did not
    // end, 4 for a stable record skipped or met twice.
    int Walk(const std::set<std::string>& stable, int most, const std::string& stop) {
        auto t = Open();
        int walks = 0;
        while (!fs::exists(stop) || walks == 0) {
            std::map<std::string, int> met;
            int steps = 0;
            for (t->Go(-3); !t->Eof(); t->Skip(1)) {
                if (++steps > 4 * most) return 3;
                const std::string id = t->GetRawByName("ID");
                if (stable.count(id)) ++met[id];
            }
            for (const std::string& id : stable)
                if (met[id] != 1) {
                    std::ofstream(errors_, std::ios::app)
                        << "walk " << walks << " met stable record " << id << " " << met[id] << " times\n";
                    return 4;
                }
            ++walks;
        }
        return 0;
    }

    // What the logs say the table holds: ID -> NAME.
    std::map<std::string, std::string> Logged(const std::vector<std::string>& logs) {
        std::map<std::string, std::string> all;
        for (const std::string& log : logs) {
            std::ifstream in(log);
            std::string id, name;
            while (in >> id >> name) EXPECT_TRUE(all.emplace(id, name).second) << id << " logged twice";
        }
        return all;
    }

    // The table holds each logged record once with its last name, the header's count is
    // the file's, and check finds every tag equal to a fresh build.
    void ExpectFinalFiles(const std::map<std::string, std::string>& expected) {
        auto t = std::make_unique<NVO_dBHandler>(table_, true, false, "");
        std::map<std::string, int> seen;
        for (int32_t r = 1; r <= t->RecordCount(); ++r) {
            t->Go(r);
            const std::string id = t->GetRawByName("ID");
            ++seen[id];
            auto it = expected.find(id);
            if (it == expected.end()) {
                ADD_FAILURE() << "record " << r << " holds " << id << ", which nobody wrote";
                continue;
            }
            EXPECT_EQ(t->GetRawByName("NAME"), it->second) << "record " << r << " " << id;
        }
        t.reset();
        EXPECT_EQ(seen.size(), expected.size());
        for (const auto& [id, n] : seen) EXPECT_EQ(n, 1) << id;
        const std::string bytes = nvtest::ReadFile(table_);
        ASSERT_GE(bytes.size(), 32u);
        const auto count = nvbytes::LoadLE32(bytes.data() + 4);
        const auto header = nvbytes::LoadLE16(bytes.data() + 8), length = nvbytes::LoadLE16(bytes.data() + 10);
        EXPECT_EQ((bytes.size() - header) / length, count) << "the header's count against the file's size";
        Result checked = Tool({"check", table_, "--index", index_});
        EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
        const nvtest::TreeFileReport trees = nvtest::CheckIndexTrees(index_, {"NUM"});
        EXPECT_TRUE(trees.problems.empty());
        for (const nvtest::TreeReport& tree : trees.tags) {
            EXPECT_TRUE(tree.Ok()) << tree.Problems();
            EXPECT_EQ(tree.entries.size(), expected.size()) << tree.tag;
        }
    }

    std::string Errors() const { return fs::exists(errors_) ? nvtest::ReadFile(errors_) : std::string(); }

    nvtest::ScratchDir dir_;
    std::string table_, index_, errors_;
    uint32_t seed_ = 0;
};

TEST_P(ConcurrentPrograms, FourWritersAndAWalkerLoseNothing) {
    const int each = PerWriter();
    // Records present before the writers start and never changed: the walker must meet
    // each of them exactly once in every walk.
    std::set<std::string> stable;
    std::vector<std::string> logs = {dir_.File("stable.log")};
    {
        auto t = Open();
        std::mt19937 rng(seed_ ^ 0x5eedu);
        std::ofstream out(logs[0]);
        for (int i = 1; i <= 100; ++i) {
            char id[16];
            std::snprintf(id, sizeof id, "S%05d", i);
            const std::string name = RandomName(rng);
            t->BlankRecord();
            t->PutRawByName("ID", id);
            t->PutRawByName("NAME", name);
            t->Append();
            stable.insert(id);
            out << id << " " << name << "\n";
        }
    }
    const std::string stop = dir_.File("stop");
    const pid_t walker = Spawn(errors_, [&] {
        PatientLocks patient;
        NvPlatformScope use(patient);
        return Walk(stable, 100 + 4 * each, stop);
    });
    std::vector<pid_t> writers;
    for (int w = 0; w < 4; ++w) {
        logs.push_back(dir_.File("w" + std::to_string(w) + ".log"));
        const char who = static_cast<char>('A' + w);
        const uint32_t seed = seed_ + static_cast<uint32_t>(w);
        const std::string log = logs.back();
        writers.push_back(Spawn(errors_, [&, who, seed, log] {
            PatientLocks patient;
            NvPlatformScope use(patient);
            return Write(who, each, seed, log);
        }));
    }
    for (pid_t w : writers) EXPECT_EQ(WaitFor(w, 300), 0) << "a writer failed or hung: " << Errors();
    std::ofstream(stop) << "";
    EXPECT_EQ(WaitFor(walker, 60), 0) << "the walker crashed, hung or lost its way: " << Errors();
    const auto expected = Logged(logs);
    ASSERT_EQ(expected.size(), std::size_t(100 + 4 * each)) << "a writer's log is short";
    ExpectFinalFiles(expected);
}

// The order that once broke shared indexes: one program opens the index, another grows it
// by a thousand records, then the first appends and edits; its new pages must go after the
// other's, not over them.
TEST_P(ConcurrentPrograms, AProgramOpenBeforeAnotherGrewTheIndexAllocatesAfterTheGrowth) {
    auto first = Open();
    const pid_t other = Spawn(errors_, [&] { return Write('B', 1000, seed_, dir_.File("b.log")); });
    ASSERT_EQ(WaitFor(other, 300), 0) << Errors();
    std::vector<std::string> logs = {dir_.File("b.log"), dir_.File("a.log")};
    {
        std::mt19937 rng(seed_ + 1);
        std::ofstream out(logs[1]);
        std::map<int32_t, std::pair<std::string, std::string>> mine;
        for (int i = 1; i <= 60; ++i) {
            char id[16];
            std::snprintf(id, sizeof id, "A%05d", i);
            const std::string name = RandomName(rng);
            first->BlankRecord();
            first->PutRawByName("ID", id);
            first->PutRawByName("NAME", name);
            first->Append();
            mine[first->CurrentRecord()] = {id, name};
        }
        for (auto& [record, value] : mine) {
            if (record % 3 != 0) continue;
            first->SetOrder("", true);
            first->Go(record);
            ASSERT_TRUE(first->LockRecord());
            value.second = RandomName(rng);
            first->PutRawByName("NAME", value.second);
            first->WriteRecord(record);
            first->Unlock();
        }
        for (const auto& [record, value] : mine) out << value.first << " " << value.second << "\n";
    }
    first.reset();
    ExpectFinalFiles(Logged(logs));
}

// The offsets each protocol locks at, seen from outside: a child holds a record lock and
// the index lock, and raw F_OFD_GETLK finds exactly those bytes taken.
TEST_P(ConcurrentPrograms, LocksSitAtTheProtocolsOffsets) {
    {
        auto t = Open();
        for (int i = 0; i < 8; ++i) {
            t->BlankRecord();
            t->PutRawByName("ID", "X" + std::to_string(i));
            t->Append();
        }
    }
    constexpr int32_t n = 5;
    Holder holder;
    holder.Start(errors_, [&] {
        auto t = Open();
        t->SetOrder("", true);
        t->Go(n);
        if (!t->LockRecord()) return 2;
        if (!t->LockIndexes()) return 3;
        if (!holder.Signal()) return 4;
        t->UnlockIndexes();
        if (!holder.Signal()) return 4;
        t->Unlock();
        return 0;
    });
    ASSERT_TRUE(holder.Step()) << Errors();

    auto taken = [](const std::string& path, int64_t offset) {
        const int fd = ::open(path.c_str(), O_RDWR);
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_start = offset;
        probe.l_len = 1;
        const int rc = ::fcntl(fd, F_OFD_GETLK, &probe);
        ::close(fd);
        return rc == 0 && probe.l_type != F_UNLCK;
    };
    int64_t record = 0, indexAt = 0, indexLength = 1;
    switch (GetParam().protocol) {
    case TnvLokProtocol::Default:
    case TnvLokProtocol::FoxLock:
        // With an index file open on the cursor the record lock moves to the top area.
        record = 0x7FFFFFFE - n;
        indexAt = 0x7FFFFFFD;
        break;
    case TnvLokProtocol::DB4Lock:
        record = 0xEFFFFFFFll - n - 1;
        indexAt = 0xEFFFFFFEll;
        indexLength = 2;
        break;
    case TnvLokProtocol::ClipLock:
        record = 1000000000ll + n;
        indexAt = 1000000000ll;
        break;
    }
    EXPECT_TRUE(taken(table_, record)) << "record lock at " << record;
    EXPECT_FALSE(taken(table_, record - 1));
    EXPECT_FALSE(taken(table_, record + 1));
    for (int64_t i = 0; i < indexLength; ++i) EXPECT_TRUE(taken(index_, indexAt + i)) << "index lock at " << indexAt + i;
    EXPECT_FALSE(taken(index_, indexAt - 1));
    EXPECT_FALSE(taken(index_, indexAt + indexLength));

    // Another program is refused that record, and only that one (once the index lock,
    // which opening an order needs, is dropped).
    holder.Go();
    ASSERT_TRUE(holder.Step()) << Errors();
    {
        NvFaultPlatform quick;  // retries need not really wait
        NvPlatformScope use(quick);
        auto other = Open();
        other->SetOrder("", true);
        other->Go(n);
        EXPECT_FALSE(other->LockRecord()) << "a record another program holds was locked";
        other->Go(n + 1);
        EXPECT_TRUE(other->LockRecord());
        other->Unlock();
    }
    holder.Go();
    EXPECT_EQ(holder.Finish(30), 0) << Errors();
}

INSTANTIATE_TEST_SUITE_P(Formats, ConcurrentPrograms, ::testing::ValuesIn(tooltest::kIndexFormats),
                         [](const auto& info) { return std::string(info.param.name); });

// Without an index file open the Default protocol locks a record at its own place past
// 0x40000000, one byte at lock base + header length + record length x (n - 1).
TEST(ConcurrentProgramLocks, DefaultRecordLockWithoutIndexSitsAtTheRecordsOwnPlace) {
    nvtest::ScratchDir dir;
    const std::string table = dir.File("p.dbf");
    ASSERT_EQ(Tool({"create", table, "--flavour", "dbase3", "--fields", "ID C 6"}).status, 0);
    {
        NVO_dBHandler t(table, true, true, "");
        for (int i = 0; i < 4; ++i) {
            t.BlankRecord();
            t.Append();
        }
    }
    Holder holder;
    holder.Start(dir.File("errors.txt"), [&] {
        NVO_dBHandler t(table, true, true, "");
        t.Go(3);
        if (!t.LockRecord()) return 2;
        if (!holder.Signal()) return 4;
        t.Unlock();
        return 0;
    });
    ASSERT_TRUE(holder.Step());
    NVO_dBaseDBF header(table, true, false, "");
    const int64_t at = 0x40000000ll + header.HeaderLength() + int64_t(header.RecordLength()) * 2;
    const int fd = ::open(table.c_str(), O_RDWR);
    for (int64_t offset : {at - 1, at, at + 1}) {
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_start = offset;
        probe.l_len = 1;
        ASSERT_EQ(::fcntl(fd, F_OFD_GETLK, &probe), 0);
        EXPECT_EQ(probe.l_type != F_UNLCK, offset == at) << "offset " << offset;
    }
    ::close(fd);
    holder.Go();
    EXPECT_EQ(holder.Finish(30), 0);
}

}  // namespace
