// The log file on a real Windows file system: size check and rotation, sharing with other
// handles, and the failures that must only lose lines (a locked ".old", a log held exclusively).
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "logging_file.h"
#include "zelt_test.h"

namespace upkit {
namespace {

using zelt::test::Held;
using zelt::test::ReadFile;
using TestDir = zelt::test::TempDir;
using zelt::test::TryReadFile;

constexpr uint64_t kMax = RotatingLogFile::kMaxSize;

Path ToPath(const std::wstring& path) {
    return Path(std::u16string(path.begin(), path.end()));
}

std::unique_ptr<RotatingLogFile> SetUpLog(const std::wstring& path) {
    auto log = std::make_unique<RotatingLogFile>(ToPath(path), SystemFileSystem());
    log->SetUp();
    return log;
}

std::string Filler(uint64_t size) {
    return std::string(size - 1, 'x') + "\n";
}

TEST(LogFileWin, SizeCheckAtSetUpAndTheCrossingLine) {
    const struct {
        const char* name;
        uint64_t existing;
        const char* oldAfterSetUp;  // nullptr: the original content
        const char* logAfterLine;   // nullptr: the original content followed by the line
        bool lineInOld;
    } cases[] = {
        // Appended to; the line stays below the limit.
        {"below the limit", kMax - 100, "stale\n", nullptr, false},
        // Appended to; the line crosses the limit and completes in the old file.
        {"exactly the limit", kMax, "stale\n", "", true},
        // Rotated at set-up, replacing the stale ".old".
        {"one byte over", kMax + 1, nullptr, "line\n", false},
    };
    for (const auto& c : cases) {
        TestDir dir;
        const std::wstring path = dir / L"upkit.log";
        const std::string original = Filler(c.existing);
        ASSERT_TRUE(zelt::test::WriteFile(path, original));
        ASSERT_TRUE(zelt::test::WriteFile(path + L".old", "stale\n"));

        auto log = SetUpLog(path);
        EXPECT_TRUE(log->IsOpen()) << c.name;
        EXPECT_EQ(ReadFile(path + L".old"), c.oldAfterSetUp ? c.oldAfterSetUp : original) << c.name;

        log->WriteLine("line\n");
        EXPECT_EQ(ReadFile(path), c.logAfterLine ? c.logAfterLine : original + "line\n") << c.name;
        if (c.lineInOld) {
            EXPECT_EQ(ReadFile(path + L".old"), original + "line\n") << c.name;
        }
    }
}

TEST(LogFileWin, CreatesMissingDirectoriesAndAppendsAlongsideOtherWriters) {
    TestDir dir;
    const std::wstring path = dir / L"a\\b\\upkit.log";
    auto first = SetUpLog(path);
    auto second = SetUpLog(path);
    first->WriteLine("one\n");
    second->WriteLine("two\n");
    first->WriteLine("three\n");
    EXPECT_EQ(ReadFile(path), "one\ntwo\nthree\n");
}

TEST(LogFileWin, OthersMayReadWriteAndRenameTheOpenFile) {
    TestDir dir;
    const std::wstring path = dir / L"upkit.log";
    auto log = SetUpLog(path);
    log->WriteLine("first\n");
    { Held other(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE); }
    ASSERT_TRUE(MoveFileExW(path.c_str(), (dir / L"moved.log").c_str(), 0))
        << "error " << GetLastError();
    log->WriteLine("second\n");
    EXPECT_EQ(ReadFile(dir / L"moved.log"), "first\nsecond\n");
}

TEST(LogFileWin, LockedOldFileKeepsTheLogGrowingUntilRotationSucceeds) {
    TestDir dir;
    const std::wstring path = dir / L"upkit.log";
    const std::string original = Filler(kMax + 1);
    ASSERT_TRUE(zelt::test::WriteFile(path, original));
    ASSERT_TRUE(zelt::test::WriteFile(path + L".old", "stale\n"));

    Held old(path + L".old", FILE_SHARE_READ | FILE_SHARE_WRITE);  // no delete sharing
    auto log = SetUpLog(path);
    EXPECT_TRUE(log->IsOpen());
    log->WriteLine("a\n");
    log->WriteLine("b\n");
    EXPECT_EQ(ReadFile(path), original + "a\nb\n");
    EXPECT_EQ(ReadFile(path + L".old"), "stale\n");

    old.Release();
    log->WriteLine("c\n");
    EXPECT_EQ(ReadFile(path + L".old"), original + "a\nb\nc\n");
    EXPECT_EQ(ReadFile(path), "");
    log->WriteLine("d\n");
    EXPECT_EQ(ReadFile(path), "d\n");
}

TEST(LogFileWin, LogHeldExclusivelyLosesLinesSilentlyAndOpensLater) {
    TestDir dir;
    const std::wstring path = dir / L"upkit.log";
    ASSERT_TRUE(zelt::test::WriteFile(path, "before\n"));

    Held exclusive(path, 0);
    auto log = SetUpLog(path);
    EXPECT_FALSE(log->IsOpen());
    log->WriteLine("lost\n");
    EXPECT_FALSE(log->IsOpen());

    exclusive.Release();
    log->WriteLine("kept\n");
    EXPECT_TRUE(log->IsOpen());
    EXPECT_EQ(ReadFile(path), "before\nkept\n");
}

// The writers' turns on one log, three holders on one thread. The second takes over the turn the
// first has kept too long; when the first then gives it back late, the turn stays the second's,
// so the third still has to wait for it (until the second in turn is taken over from, ~100 ms).
TEST(LogFileWin, ATurnGivenBackLateStaysWithTheWriterThatTookItOver) {
    TestDir dir;
    const Path log = ToPath(dir / L"upkit.log");
    const auto first = SystemFileSystem().TurnsFor(log);
    const auto second = SystemFileSystem().TurnsFor(log);
    const auto third = SystemFileSystem().TurnsFor(log);
    ASSERT_TRUE(first->Take());

    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(second->Take());
    EXPECT_GE(GetTickCount64() - start, 50u) << "the second did not wait for the first";

    first->Give();
    start = GetTickCount64();
    EXPECT_TRUE(third->Take());
    // The tick count moves in steps of about 16 ms: 50 is well under the wait and well over one
    // step.
    EXPECT_GE(GetTickCount64() - start, 50u) << "the late give-back freed the second's turn";
    third->Give();
    second->Give();
}

TEST(LogFileWin, UnopenablePathLosesEverything) {
    TestDir dir;
    // A directory where the file should be: it can be neither opened nor rotated.
    const std::wstring path = dir / L"upkit.log";
    ASSERT_TRUE(zelt::test::MakeDirs(path));
    auto log = SetUpLog(path);
    EXPECT_FALSE(log->IsOpen());
    log->WriteLine("lost\n");
    EXPECT_FALSE(TryReadFile(path + L".old").has_value());
}

}  // namespace
}  // namespace upkit
