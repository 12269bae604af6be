// The file-system layer on Windows: pauses, the retry schedule, the directory probe, the known
// folder, the executable's path and the small path queries.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "log_capture.h"
#include "misc.h"
#include "zelt_test.h"

namespace upkit {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;
using TestDir = zelt::test::TempDir;

Path ToPath(const std::wstring& path) {
    return Path(std::u16string(path.begin(), path.end()));
}

TEST(SleepForWin, BlocksAtLeastTheDuration) {
    const nanoseconds cases[] = {nanoseconds(0), nanoseconds(1), milliseconds(1), milliseconds(16),
                                 nanoseconds(30'500'000)};
    for (const nanoseconds duration : cases) {
        const auto start = steady_clock::now();
        SleepFor(duration);
        EXPECT_GE(steady_clock::now() - start, duration) << duration.count() << " ns";
    }
}

// ---- Retry schedule ----

struct Attempt {
    steady_clock::time_point at;
    size_t warningsBefore;
};

TEST(RetryFileOperationWin, SchedulePausesWarningsAndResult) {
    const int32_t codes[] = {2, 5, 32, 33};  // the error of attempt 1, 2, 3, 4
    const struct {
        const char* name;
        int failures;    // attempts that fail before one succeeds
        Level maxLevel;  // the log's level during the run
        size_t warnings;
    } cases[] = {
        {"fails twice, then succeeds", 2, Level::Trace, 2},
        {"always fails", 4, Level::Trace, 3},
        {"fails twice below Warn", 2, Level::Error, 0},
    };
    const int pausesMs[] = {333, 666, 1000};
    for (const auto& c : cases) {
        testing::CapturedLog log;
        SetMaxLevel(c.maxLevel);
        std::vector<Attempt> attempts;
        IoResult<int> result = RetryFileOperation([&]() -> IoResult<int> {
            const int index = static_cast<int>(attempts.size());
            attempts.push_back({steady_clock::now(), log.Lines().size()});
            if (index < c.failures) return IoError::FromOsCode(codes[index]);
            return 42;
        });
        SetMaxLevel(Level::Trace);

        const size_t expectedAttempts = c.failures == 4 ? 4 : c.failures + 1;
        ASSERT_EQ(attempts.size(), expectedAttempts) << c.name;
        if (c.failures == 4) {
            ASSERT_FALSE(result.ok()) << c.name;
            EXPECT_EQ(result.error().OsCode(), codes[3]) << c.name;
        } else {
            ASSERT_TRUE(result.ok()) << c.name;
            EXPECT_EQ(result.value(), 42) << c.name;
        }

        std::vector<testing::LogLine> expected;
        if (c.warnings > 0) {
            for (size_t i = 0; i + 1 < attempts.size(); ++i) {
                expected.push_back(
                    {Level::Warn, "upkit::misc",
                     "Retrying operation in " + std::to_string(pausesMs[i]) +
                         "ms... (error was: " + IoError::FromOsCode(codes[i]).Debug() + ")"});
            }
        }
        EXPECT_EQ(log.Lines(), expected) << c.name;
        for (size_t i = 1; i < attempts.size(); ++i) {
            // The warning of the failed attempt is out before the next attempt, after the pause.
            EXPECT_EQ(attempts[i].warningsBefore, c.warnings > 0 ? i : 0) << c.name;
            EXPECT_GE(attempts[i].at - attempts[i - 1].at, milliseconds(pausesMs[i - 1]))
                << c.name << ", pause " << i;
        }
    }
}

TEST(RetryFileOperationWin, WarningNamesTheErrorInItsDiagnosticForm) {
    testing::CapturedLog log;
    int calls = 0;
    (void)RetryFileOperation([&]() -> IoResult<int> {
        if (calls++ == 0) return IoError::FromOsCode(2);
        return 1;
    });
    ASSERT_EQ(log.Lines().size(), 1u);
    const std::string& message = log.Lines()[0].message;
    EXPECT_THAT(message, ::testing::StartsWith("Retrying operation in 333ms... (error was: Os { "
                                               "code: 2, kind: NotFound, message: \""));
    EXPECT_THAT(message, ::testing::EndsWith("\" })"));
    EXPECT_EQ(message.find('\n'), std::string::npos);
}

// ---- Directory probe ----

TEST(CanWriteToDirectoryWin, ProbeOutcomes) {
    const struct {
        const char* name;
        // Prepares the directory under test inside a fresh temporary folder and returns it.
        std::wstring (*prepare)(const TestDir&);
        bool writable;
        const char* failure;  // the end of the warning, when there is one
        bool leavesProbe;     // ".upkit_dir_test" still there afterwards (a directory)
    } cases[] = {
        {"writable", [](const TestDir& t) { return t.path(); }, true, nullptr, false},
        {"missing", [](const TestDir& t) { return t / L"missing"; }, false, "(os error 3)", false},
        {"probe name taken by a directory",
         [](const TestDir& t) {
             EXPECT_TRUE(zelt::test::MakeDirs(t / L".upkit_dir_test"));
             return t.path();
         },
         false, "(os error 5)", true},
        {"stale probe file",
         [](const TestDir& t) {
             EXPECT_TRUE(zelt::test::WriteFile(t / L".upkit_dir_test", "left over"));
             return t.path();
         },
         true, nullptr, false},
    };
    for (const auto& c : cases) {
        TestDir temp;
        const std::wstring dir = c.prepare(temp);
        testing::CapturedLog log;
        EXPECT_EQ(CanWriteToDirectory(SystemFileSystem(), ToPath(dir)), c.writable) << c.name;

        const std::wstring probe = zelt::test::JoinPath(dir, L".upkit_dir_test");
        EXPECT_EQ(zelt::test::PathExists(probe), c.leavesProbe) << c.name;
        if (c.failure == nullptr) {
            EXPECT_TRUE(log.Lines().empty()) << c.name;
            continue;
        }
        ASSERT_EQ(log.Lines().size(), 1u) << c.name;
        const testing::LogLine& line = log.Lines()[0];
        EXPECT_EQ(line.level, Level::Warn);
        EXPECT_EQ(line.target, "upkit::misc");
        const std::string start =
            "Failed to open directory for writing " + PathDebug(ToPath(probe)) + ": ";
        EXPECT_EQ(line.message.substr(0, start.size()), start) << c.name;
        EXPECT_THAT(line.message, ::testing::EndsWith(c.failure)) << c.name;
    }
}

TEST(CanWriteToDirectoryWin, MissingDirectoryIsNotCreated) {
    TestDir temp;
    testing::CapturedLog log;
    EXPECT_FALSE(CanWriteToDirectory(SystemFileSystem(), ToPath(temp / L"a\\b")));
    EXPECT_FALSE(zelt::test::PathExists(temp / L"a"));
}

TEST(CanWriteToDirectoryWin, NulInThePathAndQuietBelowWarn) {
    TestDir temp;
    testing::CapturedLog log;
    Path withNul(std::u16string(u"C:\\a") + u'\0' + u"b");
    EXPECT_FALSE(CanWriteToDirectory(SystemFileSystem(), withNul));
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_THAT(log.Lines()[0].message, ::testing::EndsWith(": nul byte found in provided data"));

    SetMaxLevel(Level::Error);
    EXPECT_FALSE(CanWriteToDirectory(SystemFileSystem(), ToPath(temp / L"missing")));
    EXPECT_TRUE(CanWriteToDirectory(SystemFileSystem(), ToPath(temp.path())));
    SetMaxLevel(Level::Trace);
    EXPECT_EQ(log.Lines().size(), 1u);
}

// ---- Folders, the executable, path queries ----

// The known folder the runtime asks for is the user's local application data folder: the one the
// shell's older interface names CSIDL_LOCAL_APPDATA. A wrong folder identifier (Roaming's, say)
// would send the log, the fallback packages and the updater's copy elsewhere.
TEST(FoldersWin, LocalAppDataIsTheUsersLocalApplicationDataFolder) {
    IoResult<Path> dir = SystemFileSystem().LocalAppDataDir();
    ASSERT_TRUE(dir.ok()) << dir.error().Debug();
    std::wstring wide(dir.value().Units().begin(), dir.value().Units().end());
    const std::wstring expected = zelt::test::LocalAppDataFolder();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(wide, expected);
    EXPECT_TRUE(zelt::test::IsDirectory(wide)) << PathDisplay(dir.value());
}

TEST(FoldersWin, TempDirIsAnExistingDirectory) {
    const Path dir = SystemFileSystem().TempDir();
    std::wstring wide(dir.Units().begin(), dir.Units().end());
    EXPECT_TRUE(zelt::test::IsDirectory(wide)) << PathDisplay(dir);
}

TEST(CurrentExePathWin, FullPathOfTheRunningProgram) {
    // Wine cannot start a program from a path longer than MAX_PATH, so only a path that fits the
    // first buffer can be shown here.
    TestDir temp;
    const std::wstring exe = temp / L"copy of log_host.exe";
    ASSERT_TRUE(zelt::test::CopyFileTo(zelt::test::BinPath(L"log_host.exe"), exe));
    const std::wstring out = temp / L"exe-path.txt";
    zelt::test::ProcessSpec invocation;
    invocation.application = exe;
    invocation.commandLine =
        zelt::test::QuoteArgument(exe) + L" exe-path " + zelt::test::QuoteArgument(out);
    EXPECT_EQ(zelt::test::RunProcess(invocation), std::optional<DWORD>(0));
    EXPECT_EQ(zelt::test::ReadFile(out), zelt::test::Narrow(exe));
}

TEST(PathQueriesWin, ExistsAndCreateDirAll) {
    TestDir temp;
    ASSERT_TRUE(zelt::test::WriteFile(temp / L"file", "x"));
    const struct {
        Path path;
        bool exists;
    } cases[] = {
        {ToPath(temp.path()), true},
        {ToPath(temp / L"file"), true},
        {ToPath(temp / L"missing"), false},
        {ToPath(temp / L"file\\below"), false},
        {Path(), false},
        {Path(ToPath(temp.path()).Units() + u'\0'), false},
    };
    for (const auto& c : cases) EXPECT_EQ(PathExists(c.path), c.exists) << PathDebug(c.path);

    EXPECT_TRUE(CreateDirAll(SystemFileSystem(), ToPath(temp / L"n1\\n2\\n3")).ok());
    EXPECT_TRUE(zelt::test::IsDirectory(temp / L"n1\\n2\\n3"));
    EXPECT_TRUE(CreateDirAll(SystemFileSystem(), ToPath(temp / L"n1\\n2")).ok());
    IoResult<Unit> blocked = CreateDirAll(SystemFileSystem(), ToPath(temp / L"file\\sub"));
    EXPECT_FALSE(blocked.ok());
}

// ---- Copies of files ----

DWORD AttributesOf(const std::wstring& path) {
    return GetFileAttributesW(path.c_str());
}

constexpr DWORD kCarried = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A copy is made in a new file of its own with normal attributes, whatever the source carries.
// Until it has its name nobody else can delete it, a second copy cannot take its place, and
// closing it unpublished deletes it; it takes its name without replacing anything.
TEST(NewFileCopyWin, IsTheProcesssOwnUntilItHasItsName) {
    TestDir temp;
    const std::wstring source = temp / L"Update.exe";
    const std::wstring partial = temp / L"Update.exe.1.partial";
    const std::wstring taken = temp / L"taken.exe";
    const std::wstring published = temp / L"published.exe";
    const std::string bytes = "MZ whole program " + std::string(3 << 20, 'x');
    ASSERT_TRUE(zelt::test::WriteFile(source, bytes));
    ASSERT_TRUE(zelt::test::WriteFile(taken, "another start's copy"));
    ASSERT_TRUE(SetFileAttributesW(source.c_str(), kCarried));
    ASSERT_NE(AttributesOf(source) & FILE_ATTRIBUTE_READONLY, 0u);

    FileSystem& fs = SystemFileSystem();
    {
        IoResult<std::unique_ptr<UnpublishedFile>> copy =
            fs.CopyToNewFile(ToPath(source), ToPath(partial));
        ASSERT_TRUE(copy.ok()) << copy.error().Display();
        EXPECT_EQ(AttributesOf(partial) & kCarried, 0u);

        EXPECT_FALSE(DeleteFileW(partial.c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        IoResult<Unit> removed = fs.RemoveFileEvenReadOnly(ToPath(partial));
        ASSERT_FALSE(removed.ok());
        EXPECT_EQ(removed.error().OsCode(), ERROR_SHARING_VIOLATION);
        IoResult<std::unique_ptr<UnpublishedFile>> again =
            fs.CopyToNewFile(ToPath(source), ToPath(partial));
        ASSERT_FALSE(again.ok());
        EXPECT_EQ(again.error().Kind(), IoErrorKind::AlreadyExists);

        EXPECT_TRUE(copy.value()->Flush().ok());
        IoResult<Unit> overTaken = copy.value()->Publish(ToPath(taken));
        ASSERT_FALSE(overTaken.ok());
        EXPECT_EQ(overTaken.error().Kind(), IoErrorKind::AlreadyExists);
        EXPECT_EQ(zelt::test::ReadFile(taken), "another start's copy");
        EXPECT_TRUE(copy.value()->Publish(ToPath(published)).ok());
    }
    EXPECT_FALSE(zelt::test::PathExists(partial));
    EXPECT_EQ(zelt::test::ReadFile(published), bytes);
    EXPECT_EQ(AttributesOf(published) & kCarried, 0u);

    {
        IoResult<std::unique_ptr<UnpublishedFile>> dropped =
            fs.CopyToNewFile(ToPath(source), ToPath(partial));
        ASSERT_TRUE(dropped.ok());
        EXPECT_TRUE(zelt::test::PathExists(partial));
    }
    EXPECT_FALSE(zelt::test::PathExists(partial));

    IoResult<std::unique_ptr<UnpublishedFile>> missing =
        fs.CopyToNewFile(ToPath(temp / L"missing.exe"), ToPath(partial));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().Kind(), IoErrorKind::NotFound);
    EXPECT_FALSE(zelt::test::PathExists(partial));
}

// Deleting a read-only file clears the attribute first; a file another program holds without
// sharing deletion stays exactly as it was, read-only still. The plain deletion refuses a
// read-only file, as the system does.
TEST(RemoveFileWin, ReadOnlyFilesAndFilesHeldWithoutDeleteSharing) {
    TestDir temp;
    const std::wstring stale = temp / L"stale.partial";
    const std::wstring held = temp / L"held.partial";
    for (const std::wstring& path : {stale, held}) {
        ASSERT_TRUE(zelt::test::WriteFile(path, "MZ"));
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    FileSystem& fs = SystemFileSystem();

    IoResult<Unit> plain = fs.RemoveFile(ToPath(stale));
    ASSERT_FALSE(plain.ok());
    EXPECT_EQ(plain.error().Kind(), IoErrorKind::PermissionDenied);
    EXPECT_TRUE(fs.RemoveFileEvenReadOnly(ToPath(stale)).ok());
    EXPECT_FALSE(zelt::test::PathExists(stale));

    // Read access only: Windows opens a read-only file for nothing more.
    const HANDLE holder =
        CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    IoResult<Unit> refused = fs.RemoveFileEvenReadOnly(ToPath(held));
    CloseHandle(holder);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().OsCode(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(zelt::test::PathExists(held));
    EXPECT_NE(AttributesOf(held) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(fs.RemoveFileEvenReadOnly(ToPath(held)).ok());
    EXPECT_FALSE(zelt::test::PathExists(held));
}

// ---- Long paths ----

// The long form means what the system's own normalisation (GetFullPathNameW) makes of the path:
// an account of the path independent of the runtime's. Wine sets no length limit, so this table,
// not a start from a deep folder, is what shows that long paths reach Windows in a form it takes.
TEST(LongPathFormWin, AgreesWithTheSystemsNormalisation) {
    const std::wstring n(250, L'n');
    const std::wstring inputs[] = {
        L"C:\\Games\\" + n + L"\\a",
        L"C:/Games//" + n + L"/./a/",
        L"C:\\Games\\" + n + L"\\..\\a\\.\\b",
        L"d:\\..\\..\\" + n,
        L"C:\\" + n + L"\\dir.\\name. .",
        L"C:\\" + n + L"\\a.\\b",  // an inner name of two units ending in a dot
        L"C:\\" + n + L"\\name. \\",
        L"\\\\server\\share\\" + n,
        L"//server/share/" + n + L"/../../x",
    };
    for (const std::wstring& input : inputs) {
        std::wstring full(32768, L'\0');
        const DWORD length =
            GetFullPathNameW(input.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        ASSERT_GT(length, 0u);
        full.resize(length);
        const std::wstring expected =
            full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
        const std::u16string got = LongPathForm(std::u16string(input.begin(), input.end()));
        EXPECT_EQ(std::wstring(got.begin(), got.end()), expected)
            << zelt::test::Narrow(input.substr(0, 30));
    }
}

}  // namespace
}  // namespace upkit
