// Leaving the PC as the run found it: the log folder's files put back byte for byte with their
// attributes and times, new per-user installation folders removed and nothing else touched. First
// on folders of the test's own, then through run-tests.exe on the real per-user log folder, with
// a real test that empties and renames the log there.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kit_cleanup.h"
#include "zelt_test.h"

namespace zelt::kit {
namespace {

using test::JoinPath;
using test::ListDir;
using test::TempDir;

FILETIME Time(WORD year, WORD month, WORD day) {
    SYSTEMTIME system = {};
    system.wYear = year, system.wMonth = month, system.wDay = day, system.wHour = 12;
    FILETIME time;
    SystemTimeToFileTime(&system, &time);
    return time;
}

struct FileState {
    std::string bytes;
    DWORD attributes = 0;
    FILETIME created = {};
    FILETIME accessed = {};
    FILETIME written = {};
};

// The file's attributes and times, then its bytes. Reading a file moves its last-access time
// on some systems (Linux under Wine, for one), so a state taken before the run, while the file is
// still as planted, leaves the bytes out and takes them from what was planted.
std::optional<FileState> StateOf(const std::wstring& path, bool withBytes = true) {
    FileState state;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    state.attributes = data.dwFileAttributes;
    state.created = data.ftCreationTime;
    state.accessed = data.ftLastAccessTime;
    state.written = data.ftLastWriteTime;
    if (!withBytes) return state;
    const auto bytes = test::TryReadFile(path);
    if (!bytes) return std::nullopt;
    state.bytes = *bytes;
    return state;
}

uint64_t Ticks(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

void ExpectSame(const FileState& was, const std::optional<FileState>& now,
                const std::string& name) {
    ASSERT_TRUE(now) << name << " is gone";
    EXPECT_EQ(now->bytes, was.bytes) << name;
    EXPECT_EQ(now->attributes, was.attributes) << name;
    EXPECT_EQ(Ticks(now->written), Ticks(was.written)) << name;
    EXPECT_EQ(Ticks(now->accessed), Ticks(was.accessed)) << name;
    // Wine keeps no creation time of its own on most Linux file systems.
    if (!test::RunningOnWine()) {
        EXPECT_EQ(Ticks(now->created), Ticks(was.created)) << name;
    }
}

// A file with the given bytes, attributes and times, as another game's log could be.
void Plant(const std::wstring& path, const std::string& bytes, DWORD attributes, WORD year) {
    ASSERT_TRUE(test::WriteFile(path, bytes));
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const FILETIME created = Time(year, 1, 2);
    const FILETIME accessed = Time(year, 3, 4);
    const FILETIME written = Time(year, 5, 6);
    EXPECT_TRUE(SetFileTime(file, &created, &accessed, &written));
    CloseHandle(file);
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes));
}

TEST(KitCleanup, LogFolderFilesComeBackAsTheyWereAndNewOnesGo) {
    TempDir dir(L"keep");
    const std::wstring folder = dir / L"upkit";
    ASSERT_TRUE(test::MakeDirs(folder));
    ASSERT_TRUE(test::MakeDirs(dir / L"saved"));
    const struct {
        const wchar_t* name;
        std::string bytes;
        DWORD attributes;
    } files[] = {
        {L"upkit.log", "another game's log\r\n\x01\xFF", FILE_ATTRIBUTE_ARCHIVE},
        {L"upkit.log.old", "older lines\r\n", FILE_ATTRIBUTE_READONLY},
        {L"upkit_other.log", "", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
    };
    std::vector<FileState> before;
    for (const auto& f : files) {
        Plant(JoinPath(folder, f.name), f.bytes, f.attributes, 2021);
        before.push_back(StateOf(JoinPath(folder, f.name), false).value_or(FileState{}));
        before.back().bytes = f.bytes;
    }
    ASSERT_TRUE(test::MakeDirs(folder + L"\\kept folder"));

    LogFolderKeeper keeper;
    std::string problem;
    ASSERT_TRUE(keeper.Save(folder, dir / L"saved", problem)) << problem;
    // What tests do to the folder: write, rotate, delete, add.
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\upkit.log.old").c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(MoveFileExW((folder + L"\\upkit.log").c_str(),
                            (folder + L"\\upkit.log.old").c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(test::WriteFile(folder + L"\\upkit.log", "a test's line\r\n"));
    ASSERT_TRUE(DeleteFileW((folder + L"\\upkit_other.log").c_str()));
    ASSERT_TRUE(test::WriteFile(folder + L"\\upkit_test.log", "new"));
    ASSERT_TRUE(test::MakeDirs(folder + L"\\new folder"));

    const std::vector<std::string> lines = keeper.Restore();
    for (size_t i = 0; i < std::size(files); ++i) {
        ExpectSame(before[i], StateOf(JoinPath(folder, files[i].name)),
                   test::Narrow(files[i].name));
    }
    EXPECT_EQ(ListDir(folder),
              (std::vector<std::wstring>{L"kept folder", L"new folder", L"upkit.log",
                                         L"upkit.log.old", L"upkit_other.log"}));
    // A folder is never deleted from a log folder that existed: it is named.
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "left behind: " + test::Narrow(folder + L"\\new folder")),
              lines.end())
        << ::testing::PrintToString(lines);
}

TEST(KitCleanup, LogFolderTheRunMadeIsRemoved) {
    TempDir dir(L"keep");
    const std::wstring folder = dir / L"upkit";
    ASSERT_TRUE(test::MakeDirs(dir / L"saved"));
    LogFolderKeeper keeper;
    std::string problem;
    ASSERT_TRUE(keeper.Save(folder, dir / L"saved", problem)) << problem;
    ASSERT_TRUE(test::WriteFile(folder + L"\\sub\\upkit.log", "made by a test"));
    keeper.Restore();
    EXPECT_FALSE(test::PathExists(folder));
}

TEST(KitCleanup, OnlyNewInstallationFoldersAreRemoved) {
    TempDir dir(L"local");
    const std::wstring local = dir.path();
    ASSERT_TRUE(test::WriteFile(local + L"\\Old\\Update.exe", "there before"));
    LocalAppDataWatch watch;
    watch.Before(local);
    const struct {
        std::vector<const wchar_t*> files;  // made under <local>\<name>
        const wchar_t* name;
        bool removed;
    } cases[] = {
        {{L"Update.exe", L"packages\\Game-1.0.0-full.nupkg", L"Update.exe.123.partial"},
         L"Installed",
         true},
        {{L"packages\\"}, L"OnlyPackages", true},
        {{L"Update.exe", L"current\\Game.exe"}, L"WithCurrent", false},
        {{L"Update.exe.12a.partial"}, L"OddPartial", false},
        {{L"settings.ini"}, L"OtherProgram", false},
    };
    for (const auto& c : cases) {
        for (const wchar_t* file : c.files) {
            const std::wstring path = local + L"\\" + c.name + L"\\" + file;
            ASSERT_TRUE(path.back() == L'\\' ? test::MakeDirs(path) : test::WriteFile(path, "x"));
        }
    }
    ASSERT_TRUE(test::WriteFile(local + L"\\new file.txt", "x"));
    ASSERT_TRUE(test::WriteFile(local + L"\\Old\\packages\\new.nupkg", "x"));

    const LocalAppDataWatch::Changes changes = watch.After();
    for (const auto& c : cases) {
        const std::string path = test::Narrow(local + L"\\" + c.name);
        EXPECT_EQ(test::PathExists(local + L"\\" + c.name), !c.removed) << path;
        const auto& list = c.removed ? changes.removed : changes.leftBehind;
        EXPECT_NE(std::find(list.begin(), list.end(), path), list.end()) << path;
    }
    EXPECT_EQ(changes.removed.size() + changes.leftBehind.size(), std::size(cases) + 1);
    EXPECT_TRUE(test::PathExists(local + L"\\new file.txt"));
    EXPECT_TRUE(test::PathExists(local + L"\\Old\\packages\\new.nupkg"));
    EXPECT_TRUE(changes.problems.empty());
}

// Through run-tests.exe, with a real test that deletes the log files, then writes an empty
// upkit.log and an upkit.first.log of its own.
TEST(KitCleanup, RunnerPutsTheSharedLogFolderBack) {
    const std::wstring local = test::LocalAppDataFolder();
    ASSERT_FALSE(local.empty());
    const std::wstring folder = local + L"\\upkit";
    const bool existed = test::IsDirectory(folder);
    const std::vector<std::wstring> namesBefore = ListDir(folder);
    const std::wstring planted = folder + L"\\upkit.log";
    // Whatever was there is this test's to put back: it holds the log folder's lock.
    const std::optional<FileState> original = StateOf(planted);
    ASSERT_TRUE(test::MakeDirs(folder));
    const std::string bytes = "another game's log line\r\n";
    Plant(planted, bytes, FILE_ATTRIBUTE_ARCHIVE, 2020);
    FileState before = StateOf(planted, false).value_or(FileState{});
    before.bytes = bytes;

    TempDir dir(L"kit");
    test::ProcessSpec invocation;
    invocation.application = test::BinPath(L"run-tests.exe");
    invocation.commandLine =
        test::QuoteArgument(invocation.application) +
        L" --no-pause --filter RuntimeLogHost.EveryRecordReachesTheCallback* --bin " +
        test::QuoteArgument(test::ExeDir()) + L" --report " +
        test::QuoteArgument(dir / L"report.txt");
    invocation.outputFile = dir / L"console.txt";
    invocation.timeoutMs = 240000;
    const auto code = test::RunProcess(invocation);
    const std::string console = test::TryReadFile(invocation.outputFile).value_or("");
    EXPECT_EQ(code, std::optional<DWORD>(0)) << console;

    ExpectSame(before, StateOf(planted), "upkit.log");
    std::vector<std::wstring> expected = namesBefore;
    if (std::find(expected.begin(), expected.end(), L"upkit.log") == expected.end()) {
        expected.push_back(L"upkit.log");
        std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(ListDir(folder), expected) << console;

    if (original) {
        Plant(planted, original->bytes, original->attributes, 2020);
    } else {
        DeleteFileW(planted.c_str());
    }
    if (!existed) test::RemoveTree(folder);
}

}  // namespace
}  // namespace zelt::kit
