// Helpers for the Windows-side tests: temporary folders, files, starting processes and reading
// their exit codes, and laying out an installation from the built executable and the fixtures.
//
// Everything the build produces (ZeltOy2.exe, the fixtures, the test hosts and the test
// executables themselves) lies in one folder, so a test finds its tools beside itself.
//
// Helpers report problems as gtest failures (ADD_FAILURE) and return an empty or failed value;
// the calling test decides whether it can go on.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelt::test {

// ---- Text ----

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring Widen(std::string_view utf8);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view wide);
// The UTF-16 code units as lower-case hex, four digits each: an exact, lossless form for
// comparing texts that may hold unpaired surrogates.
std::string HexUnits(std::wstring_view wide);

// One argument quoted so that the usual command-line splitting gives it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument);

// Whether the tests run under Wine rather than Windows: for the few things Wine does differently.
bool RunningOnWine();

// ---- What a run may do ----

// Whether a check that means something only on Windows is to be skipped: under Wine, unless
// ZELT_NO_WINE_SKIPS=1 (run-tests.exe --no-wine-skips) asks to see what it does there. Use
// ZELT_SKIP_ON_WINE, which says why.
bool SkipWindowsOnlyChecks();
// Whether tests may change the system outside their own folders, even for a while (the user's
// shell-folder registry values, a small drive mounted for a test): ZELT_ALLOW_SYSTEM_CHANGES=1,
// which run-tests.exe --allow-system-changes sets (for a throwaway virtual machine) and CTest sets
// for the project's own Wine prefix. Use ZELT_SKIP_UNLESS_SYSTEM_CHANGES_ALLOWED.
bool SystemChangesAllowed();

// ---- Paths and files ----

// The user's local application data folder as the shell's older interface reports it
// (SHGetFolderPathW with CSIDL_LOCAL_APPDATA): an account of the folder independent of the
// runtime's known-folder lookup, for the paths a test expects. Empty (with a failure recorded)
// when the shell reports none.
std::wstring LocalAppDataFolder();

// The folder of the running executable (no trailing backslash).
std::wstring ExeDir();
// A file beside the running executable: the built product, a fixture or a test host.
std::wstring BinPath(std::wstring_view name);
// a + "\" + b, without doubling a trailing backslash of a.
std::wstring JoinPath(std::wstring_view a, std::wstring_view b);

// The "\\?\" form of an absolute drive path, which Windows takes past 260 characters whether or
// not long paths are enabled; other paths as they are.
std::wstring LongPath(const std::wstring& path);

bool PathExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// Creates the folder and any missing parents. True when it exists afterwards.
bool MakeDirs(const std::wstring& path);
// Removes a file or a whole folder tree (read-only attributes cleared first). True when gone.
bool RemoveTree(const std::wstring& path);

// Writes the bytes (for text: UTF-8) to the file, replacing it; parent folders are created.
bool WriteFile(const std::wstring& path, std::string_view bytes);
// The whole file, or nothing when it cannot be read (no failure is recorded).
std::optional<std::string> TryReadFile(const std::wstring& path);
// The whole file; records a failure when it cannot be read.
std::string ReadFile(const std::wstring& path);
// Copies a file, replacing the destination; parent folders are created.
bool CopyFileTo(const std::wstring& from, const std::wstring& to);
// The names in a folder (no "." or ".."), sorted.
std::vector<std::wstring> ListDir(const std::wstring& path);
// Waits until the file exists, polling; false after the timeout.
bool WaitForFile(const std::wstring& path, DWORD timeoutMs);

// A fresh, uniquely named folder under the temporary folder, removed with everything in it when
// the object goes away, unless the environment variable ZELT_KEEP_TEMP is set (its path is then
// printed so the contents can be inspected).
class TempDir {
public:
    explicit TempDir(std::wstring_view label = L"t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(std::wstring_view name) const { return JoinPath(path_, name); }

private:
    std::wstring path_;
};

// ---- Key/value records ----

// Writes "key=value" lines; values are escaped so that any text fits on one line: "\\" for a
// backslash, "\n" and "\r" for line breaks. Shared with the fixtures, which write such records.
std::string EscapeValue(std::string_view value);
std::string UnescapeValue(std::string_view value);

// A record of "key=value" lines (UTF-8, values escaped as above). A key may repeat; all values are
// kept in order.
class Record {
public:
    static Record Parse(std::string_view text);
    // Parses the file; an unreadable file gives an empty record and records a failure.
    static Record Load(const std::wstring& path);

    bool Has(std::string_view key) const;
    // The first value of the key; records a failure and returns "" when absent.
    std::string Get(std::string_view key) const;
    std::optional<std::string> Find(std::string_view key) const;
    std::vector<std::string> All(std::string_view key) const;
    const std::vector<std::pair<std::string, std::string>>& Entries() const { return entries_; }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

// ---- Processes ----

// Changes to the current environment for a child: a value sets the variable, nothing removes it.
// Names compare case-insensitively, as Windows does.
using EnvChanges = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;

// The current process's environment block with the changes applied (double-NUL-terminated).
std::wstring BuildEnvironmentBlock(const EnvChanges& changes);

struct ProcessSpec {
    std::wstring application;  // full path of the executable
    std::wstring commandLine;  // the whole command line, program name included
    std::wstring workingDir;   // empty: the test's own
    EnvChanges env;
    std::optional<WORD> showWindow;  // passed with STARTF_USESHOWWINDOW when set
    DWORD timeoutMs = 60000;
    bool suspended = false;  // created with its first thread suspended, until Resume
    // Created with CREATE_DEFAULT_ERROR_MODE: the system's default error mode, in which Windows
    // shows its loader and error-reporting dialogs, instead of the test's own (gtest turns the
    // boxes off, and on Windows a child inherits that).
    bool defaultErrorMode = false;
    // When set, the child's standard output and standard error go to this file (created anew),
    // through handles it inherits, as a console program's child would have them.
    std::wstring outputFile;
};

// A started child process. Destroying it while the child still runs kills the child.
class Process {
public:
    Process() = default;
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;

    // Starts the child; records a failure and returns false when CreateProcessW fails.
    bool Start(const ProcessSpec& invocation);
    // Lets the first thread of a process started suspended run.
    bool Resume();
    bool Running() const;
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_; }
    // Waits for the end and returns the full 32-bit exit code; on timeout kills the child,
    // records a failure and returns nothing.
    std::optional<DWORD> Wait(DWORD timeoutMs);
    void Kill();

private:
    void Close();
    HANDLE process_ = nullptr;
    HANDLE thread_ = nullptr;  // held only while the process is suspended
    DWORD id_ = 0;
};

// Starts the child and waits for it (invocation.timeoutMs); the 32-bit exit code, or nothing when
// it could not be started or had to be killed (a failure is recorded in both cases).
std::optional<DWORD> RunProcess(const ProcessSpec& invocation);

// ---- Installations ----

struct Installation {
    std::wstring root;         // holds Update.exe, current\ and packages\ .
    std::wstring updateExe;    // root\Update.exe (the fixture updater)
    std::wstring currentDir;   // root\current
    std::wstring exe;          // root\current\ZeltOy2.exe
    std::wstring engine;       // root\current\UnityPlayer.dll (the fixture engine)
    std::wstring manifest;     // root\current\sq.version
    std::wstring packagesDir;  // root\packages
};

// Lays out an installation under root from the built files: Update.exe (the fixture updater),
// current\ZeltOy2.exe, current\UnityPlayer.dll (the fixture engine), current\sq.version with the
// given manifest text, and an empty packages\ . Records a failure when a step fails.
Installation LayOutInstallation(const std::wstring& root, std::string_view manifestText);

// A minimal valid installed-version manifest with the given id and version.
std::string ManifestXml(std::string_view id, std::string_view version);

// Built file names.
inline constexpr const wchar_t* kLauncherExe = L"ZeltOy2.exe";
inline constexpr const wchar_t* kFixtureEngine = L"fixture_engine.dll";
inline constexpr const wchar_t* kFixtureNoEntry = L"fixture_noentry.dll";
inline constexpr const wchar_t* kFixtureNotLibrary = L"fixture_notlibrary.dll";
inline constexpr const wchar_t* kFixtureUpdater = L"fixture_updater.exe";
// The record the fixture updater writes beside itself.
inline constexpr const wchar_t* kUpdaterRecord = L"updater-record.txt";

// What the fixture updater recorded: its command line, working folder and whole environment
// ("NAME=value" entries in block order).
struct UpdaterRecord {
    std::string commandLine;
    std::string workingDir;
    std::vector<std::string> environment;
    std::optional<std::string> EnvValue(std::string_view name) const;
};
std::optional<UpdaterRecord> ReadUpdaterRecord(const std::wstring& path);

// A file held open by the test the way another program would hold it: with the given sharing
// (0 for none) until Release or the end of the scope.
class Held {
public:
    Held(const std::wstring& path, DWORD share, DWORD flags = FILE_ATTRIBUTE_NORMAL);
    ~Held() { Release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    void Release();

private:
    HANDLE handle_;
};

}  // namespace zelt::test

// Skips the rest of the test with "needs Windows: <reason>" where SkipWindowsOnlyChecks says so.
#define ZELT_SKIP_ON_WINE(reason) \
    GTEST_AMBIGUOUS_ELSE_BLOCKER_ \
    if (::zelt::test::SkipWindowsOnlyChecks()) GTEST_SKIP() << "needs Windows: " << reason

// Skips the rest of the test with "needs --allow-system-changes: <what it changes>" unless
// SystemChangesAllowed.
#define ZELT_SKIP_UNLESS_SYSTEM_CHANGES_ALLOWED(what) \
    GTEST_AMBIGUOUS_ELSE_BLOCKER_                     \
    if (!::zelt::test::SystemChangesAllowed())        \
    GTEST_SKIP() << "needs --allow-system-changes: " << what
