// The log facility without the operating system: line layout and local time, the forwarding of
// records to a host callback, level filtering before anything is formatted, the combined logger,
// and the rotating file's rules over an in-memory file system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_file_system.h"
#include "log_setup.h"
#include "logging.h"
#include "logging_file.h"
#include "statics.h"

namespace upkit {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using zelt::test::FakeFileSystem;

constexpr int64_t kHour = 3600;

// Sets the global maximum level for one test and puts the previous one back.
class MaxLevelScope {
public:
    explicit MaxLevelScope(Level level) : previous_(MaxLevel()) { SetMaxLevel(level); }
    ~MaxLevelScope() { SetMaxLevel(previous_); }

private:
    Level previous_;
};

// ---- Line layout ----

struct LineCase {
    const char* name;
    int64_t utcSeconds;
    int64_t offset;
    Level level;
    const char* message;
    const char* expected;
};

TEST(LogLine, LayoutAndLocalTime) {
    const int64_t day = 20000 * 24 * kHour;  // some midnight, UTC
    const LineCase cases[] = {
        {"example", day + 9 * kHour + 5 * 60 + 7, 0, Level::Info, "UpkitApp: Running with args: []",
         "[lib-cpp:4321] [09:05:07] [INFO] UpkitApp: Running with args: []\n"},
        {"east of UTC", day + 8 * kHour, 2 * kHour, Level::Warn, "w",
         "[lib-cpp:4321] [10:00:00] [WARN] w\n"},
        {"east, past midnight", day + 23 * kHour + 30 * 60, 3 * kHour, Level::Error, "e",
         "[lib-cpp:4321] [02:30:00] [ERROR] e\n"},
        {"west, before midnight", day + 2 * kHour, -5 * kHour, Level::Debug, "d",
         "[lib-cpp:4321] [21:00:00] [DEBUG] d\n"},
        {"quarter-hour zone", day + 59 * 60 + 59, 5 * kHour + 45 * 60, Level::Trace, "t",
         "[lib-cpp:4321] [06:44:59] [TRACE] t\n"},
        {"before 1970", -1, 0, Level::Info, "", "[lib-cpp:4321] [23:59:59] [INFO] \n"},
        {"message kept as it is", day, 0, Level::Info, "a \"quoted\"\ttab",
         "[lib-cpp:4321] [00:00:00] [INFO] a \"quoted\"\ttab\n"},
    };
    for (const LineCase& c : cases) {
        std::string line = "kept|";
        AppendLogLine(line, LinePrefix(4321), c.utcSeconds, c.offset, c.level, c.message);
        EXPECT_EQ(line, std::string("kept|") + c.expected) << c.name;
    }
}

TEST(LogLine, LocalOffsetWithinTwentySixHours) {
    const struct {
        std::optional<int64_t> measured;
        int64_t used;
    } cases[] = {
        {std::nullopt, 0},
        {0, 0},
        {3 * kHour, 3 * kHour},
        {-(9 * kHour + 30 * 60), -(9 * kHour + 30 * 60)},
        {26 * kHour - 1, 26 * kHour - 1},
        {-(26 * kHour - 1), -(26 * kHour - 1)},
        {26 * kHour, 0},
        {-26 * kHour, 0},
        {1000 * kHour, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SaneLocalOffset(c.measured), c.used) << c.measured.value_or(-1);
    }
}

TEST(LogLine, FaultMessage) {
    EXPECT_EQ(FaultRecordMessage(std::string("main"), std::string_view("index out of range"),
                                 "src/lib.cpp", 42),
              "thread 'main' panicked at 'index out of range': src/lib.cpp:42");
    EXPECT_EQ(FaultRecordMessage(std::nullopt, std::nullopt, "a.cpp", 7),
              "thread '<unnamed>' panicked at 'Box<Any>': a.cpp:7");
}

TEST(LogLine, HardwareFaultText) {
    const struct {
        uint32_t code;
        std::optional<std::string> module;
        uint64_t offset;
        const char* expected;
    } cases[] = {
        {0xC0000005u, "ZeltOy2.exe", 0x1A2B, "exception 0xC0000005 at ZeltOy2.exe+0x1A2B"},
        {0xC00000FDu, "UnityPlayer.dll", 0, "exception 0xC00000FD at UnityPlayer.dll+0x0"},
        {0x1Du, "a b.exe", 0xabcdef, "exception 0x0000001D at a b.exe+0xABCDEF"},
        // In no module: the address itself.
        {0xC0000005u, std::nullopt, 0x7FF6DEADBEEFull, "exception 0xC0000005 at 0x7FF6DEADBEEF"},
        {0x80000003u, std::nullopt, 0, "exception 0x80000003 at 0x0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HardwareFaultText(HardwareFault{c.code, c.module, c.offset, std::nullopt}),
                  c.expected);
    }
}

// ---- Forwarding to the host callback ----

struct Forwarded {
    std::string level;
    std::string message;
    bool operator==(const Forwarded&) const = default;
};

void Collect(void* userData, const char* level, const char* message) {
    static_cast<std::vector<Forwarded>*>(userData)->push_back({level, message});
}

class Forwarding : public ::testing::Test {
protected:
    void SetUp() override { SetLogCallback(&Collect, &received_); }
    void TearDown() override { SetLogCallback(nullptr, nullptr); }
    std::vector<Forwarded> received_;
};

TEST_F(Forwarding, LevelNamesAndNulCharacters) {
    MaxLevelScope level(Level::Trace);
    using namespace std::string_literals;
    const struct {
        Level level;
        std::string message;
        Forwarded expected;
    } cases[] = {
        {Level::Error, "plain", {"error", "plain"}}, {Level::Warn, "a\0b"s, {"warn", "a\\0b"}},
        {Level::Info, "\0"s, {"info", "\\0"}},       {Level::Debug, "x\0\0"s, {"debug", "x\\0\\0"}},
        {Level::Trace, "", {"trace", ""}},
    };
    for (const auto& c : cases) {
        received_.clear();
        ForwardLogRecord(c.level, "upkit::test", c.message);
        EXPECT_THAT(received_, ElementsAre(c.expected)) << LevelLowerName(c.level);
    }
}

TEST_F(Forwarding, OnlyWhatTheGlobalLevelAdmits) {
    MaxLevelScope level(Level::Warn);
    ForwardLogRecord(Level::Info, "t", "info");
    ForwardLogRecord(Level::Warn, "t", "warn");
    EXPECT_THAT(received_, ElementsAre(Forwarded{"warn", "warn"}));
}

// A fault record waits for the callback's lock only as long as it is told. The faulting thread's
// own record does not wait at all (it may hold the lock: a fault inside the callback, and waiting
// would hang the process instead of ending it); a record written for another thread waits for a
// thread that holds the lock briefly, but not for one that keeps it.
TEST_F(Forwarding, AFaultRecordWaitsForTheLockAtMostItsTime) {
    using std::chrono::milliseconds;
    MaxLevelScope level(Level::Trace);
    const struct {
        milliseconds lockWait;
        milliseconds heldFor;  // by another thread, from before the record
        bool forwarded;
    } cases[] = {
        {kOwnFaultLockWait, milliseconds(0), true},
        {kOwnFaultLockWait, milliseconds(200), false},
        {kOtherFaultLockWait, milliseconds(200), true},
        {milliseconds(50), milliseconds(1500), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lockWait.count()) + " ms wait, held " +
                     std::to_string(c.heldFor.count()) + " ms");
        received_.clear();
        std::thread holder;
        if (c.heldFor.count() > 0) {
            std::atomic<bool> taken{false};
            holder = std::thread([&c, &taken] {
                std::lock_guard lock(LogTargetLock());
                taken = true;
                std::this_thread::sleep_for(c.heldFor);
            });
            while (!taken) std::this_thread::yield();
        }
        ForwardLogRecord(Level::Error, "panic", "fault", c.lockWait);
        if (holder.joinable()) holder.join();
        if (c.forwarded) {
            EXPECT_THAT(received_, ElementsAre(Forwarded{"error", "fault"}));
        } else {
            EXPECT_THAT(received_, IsEmpty());
        }
    }
}

int g_heard = 0;
void CountRecord(void*, const char*, const char*) {
    ++g_heard;
}

TEST(ForwardingWithoutCallback, DropsTheRecord) {
    MaxLevelScope level(Level::Trace);
    SetLogCallback(&CountRecord, nullptr);
    ForwardLogRecord(Level::Error, "t", "heard");
    EXPECT_EQ(g_heard, 1);
    // Once the callback is taken away, records go nowhere, and none is kept for a later one.
    SetLogCallback(nullptr, nullptr);
    ForwardLogRecord(Level::Error, "t", "nobody listens");
    SetLogCallback(&CountRecord, nullptr);
    EXPECT_EQ(g_heard, 1);
    SetLogCallback(nullptr, nullptr);
}

// ---- Nothing is formatted that the global level does not admit ----

TEST(LogFilter, ArgumentsAreBuiltOnlyWhenAdmitted) {
    const struct {
        Level max;
        int built;  // records of Error, Warn, Info, Debug, Trace whose text was built
    } cases[] = {{Level::Off, 0}, {Level::Error, 1}, {Level::Warn, 2}, {Level::Trace, 5}};
    for (const auto& c : cases) {
        MaxLevelScope level(c.max);
        int built = 0;
        const auto text = [&built] {
            ++built;
            return std::string("text");
        };
        UPKIT_ERROR("t", text());
        UPKIT_WARN("t", text());
        UPKIT_INFO("t", text());
        UPKIT_DEBUG("t", text());
        UPKIT_TRACE("t", text());
        EXPECT_EQ(built, c.built) << LevelUpperName(c.max);
    }
}

// ---- The combined logger ----

class Recorder : public Logger {
public:
    Recorder(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
    void Log(Level level, std::string_view, std::string_view message) override {
        log_->push_back(name_ + ":" + LevelLowerName(level) + ":" + std::string(message));
    }

private:
    std::string name_;
    std::vector<std::string>* log_;
};

TEST(CombinedLoggerTest, EachMemberInOrderUpToItsLevel) {
    std::vector<std::string> log;
    std::vector<CombinedLogger::Member> members;
    members.push_back({Level::Trace, std::make_unique<Recorder>("forward", &log)});
    members.push_back({Level::Info, std::make_unique<Recorder>("file", &log)});
    CombinedLogger combined(std::move(members));
    EXPECT_EQ(combined.MaxLevel(), Level::Trace);

    combined.Log(Level::Warn, "t", "w");
    combined.Log(Level::Info, "t", "i");
    combined.Log(Level::Debug, "t", "d");
    combined.Log(Level::Trace, "t", "x");
    EXPECT_THAT(log, ElementsAre("forward:warn:w", "file:warn:w", "forward:info:i", "file:info:i",
                                 "forward:debug:d", "forward:trace:x"));
}

// ---- The rotating file over an in-memory file system ----

constexpr uint64_t kMax = RotatingLogFile::kMaxSize;

// A rotating file "log" on a disk in memory; `existing` is the file's content before set-up, if
// there is a file.
struct MemoryLog {
    std::unique_ptr<FakeFileSystem> files = std::make_unique<FakeFileSystem>();
    std::unique_ptr<RotatingLogFile> log;
};

MemoryLog MakeLog(std::optional<std::string> existing,
                  std::function<void(FakeFileSystem&)> prepare = nullptr) {
    MemoryLog m;
    if (existing) m.files->AddFile("log", *existing);
    if (prepare) prepare(*m.files);
    m.log = std::make_unique<RotatingLogFile>(Path(u"log"), *m.files);
    m.log->SetUp();
    return m;
}

const IoError kRenameRefused = IoError::FromKind(IoErrorKind::PermissionDenied);

TEST(RotatingLog, SizeCheckAtSetUp) {
    const struct {
        const char* name;
        std::optional<uint64_t> existing;
        bool rotated;
        uint64_t counted;
    } cases[] = {
        {"no file yet", std::nullopt, false, 0},
        {"small file", 100, false, 100},
        {"exactly the limit", kMax, false, kMax},
        {"one byte over", kMax + 1, true, 0},
    };
    for (const auto& c : cases) {
        std::optional<std::string> content;
        if (c.existing) content = std::string(*c.existing, 'x');
        MemoryLog m = MakeLog(content);
        EXPECT_TRUE(m.log->IsOpen()) << c.name;
        EXPECT_EQ(m.log->FileSize(), c.counted) << c.name;
        EXPECT_EQ(m.files->Has("log.old"), c.rotated) << c.name;
        if (c.rotated) {
            EXPECT_EQ(m.files->Content("log.old"), *content) << c.name;
            EXPECT_EQ(m.files->Content("log"), "") << c.name;
        } else {
            EXPECT_EQ(m.files->Content("log"), content.value_or("")) << c.name;
        }
    }
}

// A file rotates only once it is above the limit, right after the write that took it there: a
// line that crosses the limit completes in the old file, one that ends exactly at it does not
// rotate, and the next byte does.
TEST(RotatingLog, RotatesRightAfterTheWriteThatTakesItAboveTheLimit) {
    const std::string start(kMax - 5, 'x');
    const struct {
        const char* what;
        std::vector<std::string> lines;
        std::vector<std::string> actions;
        std::optional<std::string> old;  // nothing: no rotation
        std::string current;
        uint64_t counted;
    } cases[] = {
        {"a line crossing the limit",
         {"0123456789\n", "next\n"},
         {"write 11", "rename open log -> log.old", "append log", "write 5"},
         start + "0123456789\n",
         "next\n",
         5},
        {"a line ending exactly at the limit",
         {"abcd\n"},
         {"write 5"},
         std::nullopt,
         start + "abcd\n",
         kMax},
        {"then one byte more",
         {"abcd\n", "z"},
         {"write 5", "write 1", "rename open log -> log.old", "append log"},
         start + "abcd\nz",
         "",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryLog m = MakeLog(start);
        m.files->actions.clear();
        for (const std::string& line : c.lines) m.log->WriteLine(line);
        EXPECT_THAT(m.files->actions, ::testing::ElementsAreArray(c.actions));
        EXPECT_EQ(m.files->Has("log.old"), c.old.has_value());
        if (c.old) {
            EXPECT_EQ(m.files->Content("log.old"), *c.old);
        }
        EXPECT_EQ(m.files->Content("log"), c.current);
        EXPECT_EQ(m.log->FileSize(), c.counted);
    }
}

TEST(RotatingLog, OldFileIsReplaced) {
    MemoryLog m = MakeLog(std::string(kMax + 1, 'n'),
                          [](FakeFileSystem& f) { f.AddFile("log.old", "older lines"); });
    EXPECT_EQ(m.files->Content("log.old"), std::string(kMax + 1, 'n'));
}

TEST(RotatingLog, FailedRenameKeepsGrowingAndIsRetriedAfterEveryLine) {
    MemoryLog m = MakeLog(std::string(kMax + 1, 'x'),
                          [](FakeFileSystem& f) { f.renameError = kRenameRefused; });
    EXPECT_TRUE(m.log->IsOpen());
    EXPECT_EQ(m.log->FileSize(), kMax + 1);
    m.files->actions.clear();
    m.log->WriteLine("a\n");
    m.log->WriteLine("b\n");
    EXPECT_THAT(m.files->actions, ElementsAre("write 2", "rename open log -> log.old", "write 2",
                                              "rename open log -> log.old"));
    EXPECT_EQ(m.files->Content("log"), std::string(kMax + 1, 'x') + "a\nb\n");

    m.files->renameError.reset();
    m.log->WriteLine("c\n");
    EXPECT_EQ(m.files->Content("log.old"), std::string(kMax + 1, 'x') + "a\nb\nc\n");
    EXPECT_EQ(m.files->Content("log"), "");
    EXPECT_EQ(m.log->FileSize(), 0u);
}

TEST(RotatingLog, FailedOpenDropsLinesAndIsRetriedWithTheNext) {
    MemoryLog m =
        MakeLog(std::nullopt, [](FakeFileSystem& f) { f.failing.emplace("log", kRenameRefused); });
    EXPECT_FALSE(m.log->IsOpen());
    m.log->WriteLine("lost\n");
    m.files->failing.clear();
    m.log->WriteLine("kept\n");
    EXPECT_THAT(m.files->actions, ElementsAre("append log", "append log", "append log", "write 5"));
    EXPECT_EQ(m.files->Content("log"), "kept\n");
}

TEST(RotatingLog, ShortAndInterruptedWritesContinueAFailureDropsTheRest) {
    using W = AppendFile::WriteOutcome;
    MemoryLog m = MakeLog(std::nullopt, [](FakeFileSystem& f) {
        f.scriptedWrites = {{W::Written, 3}, {W::Interrupted, 0}, {W::Written, 2}, {W::Failed, 0}};
    });
    m.log->WriteLine("abcdefgh\n");
    m.log->WriteLine("next\n");
    EXPECT_EQ(m.files->Content("log"), "abcdenext\n");
    EXPECT_EQ(m.log->FileSize(), 10u);
}

// ---- The file logger ----

int g_clockReads = 0;
int64_t CountingClock() {
    ++g_clockReads;
    return 12 * kHour + 34 * 60 + 56;
}

TEST(FileLoggerTest, WritesInfoAndAboveOneWriteEachFormattingNothingElse) {
    FakeFileSystem disk;
    FakeFileSystem* files = &disk;
    auto log = std::make_unique<RotatingLogFile>(Path(u"log"), disk);
    log->SetUp();
    files->actions.clear();
    FileLogger logger(std::move(log), LinePrefix(7), kHour, &CountingClock);
    g_clockReads = 0;

    logger.Log(Level::Trace, "t", "trace");
    logger.Log(Level::Debug, "t", "debug");
    EXPECT_EQ(g_clockReads, 0);
    EXPECT_THAT(files->actions, IsEmpty());

    logger.Log(Level::Info, "upkit::app", "info");
    logger.Log(Level::Warn, "upkit::app", "warn");
    logger.Log(Level::Error, "panic", "error");
    EXPECT_EQ(g_clockReads, 3);
    EXPECT_EQ(files->actions.size(), 3u);
    EXPECT_EQ(files->Content("log"),
              "[lib-cpp:7] [13:34:56] [INFO] info\n"
              "[lib-cpp:7] [13:34:56] [WARN] warn\n"
              "[lib-cpp:7] [13:34:56] [ERROR] error\n");
}

// A fault inside the file logger's own write (the faulting thread holds its lock) drops the fault
// record instead of waiting for that lock forever; once the lock is free, fault records are
// written like any other.
TEST(FileLoggerTest, AFaultRecordNeverWaitsForTheLoggersLock) {
    FakeFileSystem disk;
    auto log = std::make_unique<RotatingLogFile>(Path(u"log"), disk);
    log->SetUp();
    FileLogger logger(std::move(log), LinePrefix(7), 0, &CountingClock);
    bool faulted = false;
    disk.before = [&](const std::string& operation, const std::string&) {
        if (operation != "write" || faulted) return;
        faulted = true;
        logger.LogFault(Level::Error, "panic", "fault while writing", kOwnFaultLockWait);
    };
    logger.Log(Level::Info, "upkit::app", "line");
    EXPECT_TRUE(faulted);
    logger.LogFault(Level::Error, "panic", "fault afterwards", kOwnFaultLockWait);
    EXPECT_EQ(disk.Content("log"),
              "[lib-cpp:7] [12:34:56] [INFO] line\n"
              "[lib-cpp:7] [12:34:56] [ERROR] fault afterwards\n");
}

}  // namespace
}  // namespace upkit
