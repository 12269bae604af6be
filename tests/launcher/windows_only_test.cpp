// Checks that only Windows can fail: what a player's system would put in front of the game (the
// loader's dialog, the error-reporting dialog), the path-length limit, and the access rights of a
// user for whom a file or a folder is closed. Each check runs wherever it can; where Wine lacks
// what it checks, it is skipped there with "needs Windows: <reason>", and run-tests.exe
// --no-wine-skips runs it under Wine all the same, to show what it does there.
//
// A check that detects a failure by a time-out or a window is first shown to detect one, on a case
// that Wine shows as well: the launcher's own message box.
#include <windows.h>

#include <aclapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "game_run.h"
#include "hostile_game.h"

namespace zelt::test::hostile {
namespace {

// How long a start may take before the check takes it for held by a dialog.
constexpr DWORD kDialogLimitMs = 10000;

// How a watched start ended: its exit code, or, when it was still running at the limit, the
// titles of the visible windows it showed (it was then ended by the test).
struct Watched {
    std::optional<DWORD> exitCode;
    bool held = false;
    std::vector<std::string> windows;
    DWORD pid = 0;
};

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM param) {
    auto* watched = reinterpret_cast<Watched*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner == watched->pid && IsWindowVisible(hwnd)) {
        wchar_t title[256] = {};
        GetWindowTextW(hwnd, title, 256);
        watched->windows.push_back(Narrow(title));
    }
    return TRUE;
}

// Starts the program in the system's default error mode, as Windows starts a game from a shortcut,
// and gives it kDialogLimitMs to end. A program that is still running then is held, typically by a
// dialog, whose windows are named before the program is ended.
Watched StartWatched(ProcessSpec invocation) {
    invocation.defaultErrorMode = true;
    Watched watched;
    Process process;
    if (!process.Start(invocation)) return watched;
    watched.pid = process.Id();
    if (WaitForSingleObject(process.Handle(), kDialogLimitMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.Handle(), &code)) watched.exitCode = code;
        return watched;
    }
    watched.held = true;
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&watched));
    process.Kill();
    return watched;
}

std::string Describe(const Watched& w) {
    if (!w.held) return w.exitCode ? "ended with " + std::to_string(*w.exitCode) : "not started";
    std::string text = "still running after " + std::to_string(kDialogLimitMs / 1000) + " s";
    for (const std::string& title : w.windows) text += ", showing \"" + title + "\"";
    return text;
}

// ---- The detector ----

// The launcher's own message box holds it until someone answers: the watch must report it held
// and name the box. Wine shows the box too, so this runs everywhere; it is what shows that a
// dialog of the system, where only Windows has one, would be seen the same way.
TEST(WindowsOnly, TheWatchSeesAProcessHeldByADialog) {
    GameFolder game(EngineKind::Missing);
    ProcessSpec invocation = game.Invocation(L"", {{L"ZELT_BASLATICI_KUTUSUZ", std::nullopt}});
    const Watched watched = StartWatched(invocation);
    EXPECT_TRUE(watched.held) << Describe(watched);
    EXPECT_THAT(watched.windows, ::testing::Contains("ZeltOy2")) << Describe(watched);
}

// A start in the default error mode really gives the program the system's default mode: 0.
TEST(WindowsOnly, AStartInTheDefaultErrorModeGivesTheProgramModeZero) {
    TempDir dir(L"mode");
    ProcessSpec invocation;
    invocation.application = BinPath(L"fixture_error_mode.exe");
    invocation.commandLine =
        QuoteArgument(invocation.application) + L" " + QuoteArgument(dir / L"mode.txt");
    const Watched watched = StartWatched(invocation);
    EXPECT_EQ(watched.exitCode, std::optional<DWORD>(0)) << Describe(watched);
    EXPECT_EQ(TryReadFile(dir / L"mode.txt"), "0");
}

// ---- The loader's dialog ----

// An engine library that imports a library missing on the PC. Loaded in the default error mode,
// Windows would put up its loader dialog ("The code execution cannot proceed ...") and the game
// would wait for the player; the launcher turns the boxes off around the load, so it ends with
// 126 at once (its own message box is left out here).
TEST(WindowsOnly, AnEngineMissingALibraryEndsWith126WithoutTheLoadersDialog) {
    ZELT_SKIP_ON_WINE("Wine shows no loader dialog");
    GameFolder game(EngineKind::Fixture);
    ASSERT_TRUE(CopyFileTo(BinPath(L"fixture_missing_import.dll"), game.engine()));
    const Watched watched = StartWatched(game.Invocation(L""));
    EXPECT_FALSE(watched.held) << Describe(watched);
    EXPECT_EQ(watched.exitCode, std::optional<DWORD>(126)) << Describe(watched);
}

// ---- Windows Error Reporting ----

// The command line of another process (Windows 8.1 and later), or nothing when it cannot be read.
std::optional<std::wstring> CommandLineOf(DWORD pid) {
    using QueryFn = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (query == nullptr || process == nullptr) {
        if (process != nullptr) CloseHandle(process);
        return std::nullopt;
    }
    constexpr ULONG kProcessCommandLineInformation = 60;
    std::vector<unsigned char> buffer(65536);
    ULONG size = 0;
    const LONG status = query(process, kProcessCommandLineInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &size);
    CloseHandle(process);
    if (status < 0) return std::nullopt;
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    return std::wstring(text->Buffer, text->Length / sizeof(wchar_t));
}

// The error-reporting processes running now that name the process: WerFault.exe is started with
// "-p <pid>" for a crashing process. One whose command line cannot be read is named as such.
std::vector<std::string> ErrorReportingFor(DWORD pid) {
    std::vector<std::string> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        const std::wstring name = entry.szExeFile;
        if (_wcsicmp(name.c_str(), L"WerFault.exe") != 0 &&
            _wcsicmp(name.c_str(), L"WerFaultSecure.exe") != 0) {
            continue;
        }
        const std::optional<std::wstring> line = CommandLineOf(entry.th32ProcessID);
        const std::wstring mark = L"-p " + std::to_wstring(pid);
        if (line && line->find(mark) != std::wstring::npos) found.push_back(Narrow(*line));
    }
    CloseHandle(snapshot);
    return found;
}

// A fault of each kind while the runtime's start-up runs (in the log test host, which runs the
// runtime as the launcher does), in the default error mode: the runtime ends the process with 3
// and its panic record at once, and Windows Error Reporting is never involved, so no dialog.
TEST(WindowsOnly, FaultsInTheStartUpEndWith3WithoutErrorReporting) {
    ZELT_SKIP_ON_WINE("Wine has no Windows Error Reporting");
    for (const wchar_t* kind : {L"av", L"stack", L"terminate"}) {
        SCOPED_TRACE(Narrow(kind));
        TempDir dir(L"wer");
        const std::wstring records = dir / L"forwarded.txt";
        ProcessSpec invocation;
        invocation.application = BinPath(L"log_host.exe");
        invocation.commandLine = QuoteArgument(invocation.application) + L" hardware " +
                                 QuoteArgument(records) + L" after " + kind;
        invocation.env = {{L"ZELT_BASLATICI_KUTUSUZ", L"1"}};
        const Watched watched = StartWatched(invocation);
        EXPECT_EQ(watched.exitCode, std::optional<DWORD>(3)) << Describe(watched);
        EXPECT_NE(TryReadFile(records).value_or("").find("\tthread '"), std::string::npos)
            << "no panic record";
        EXPECT_THAT(ErrorReportingFor(watched.pid), ::testing::IsEmpty());
    }
}

// ---- Long paths ----

bool LongPathsEnabled() {
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                        L"LongPathsEnabled", RRF_RT_REG_DWORD, nullptr, &value,
                        &size) == ERROR_SUCCESS &&
           value == 1;
}

// An installation at a short folder whose manifest id is long enough that the per-user packages
// folder, the updater's copy and the log's name all pass 260 characters, with a root that refuses
// new files. The runtime reaches them in the "\\?\" form, whether long paths are enabled or not;
// the test makes and reads them in that form too.
TEST(WindowsOnly, PathsPast260CharactersWork) {
    ZELT_SKIP_ON_WINE("Wine has no path-length limit");
    ::testing::Test::RecordProperty("longPathsEnabled", LongPathsEnabled() ? "yes" : "no");
    const std::wstring appData = LocalAppData();
    // "upkit_" + id + ".log" is one path component: at most 255 characters.
    const size_t idLength = std::min<size_t>(245, std::max<size_t>(200, 280 - appData.size()));
    std::string id = "Zelt.LongPaths.";
    id += std::string(idLength - id.size(), 'L');
    const std::wstring fallback = JoinPath(appData, Widen(id));
    const std::wstring log = LogFileFor(id);
    const std::wstring copy = JoinPath(fallback, L"Update.exe");
    ASSERT_GT(log.size(), 260u);
    ASSERT_GT(JoinPath(fallback, L"packages").size(), 260u);
    RemoveTree(LongPath(fallback));
    const LogFiles logFiles(LongPath(log));
    struct Cleanup {
        std::wstring folder;
        ~Cleanup() { RemoveTree(folder); }
    } cleanup{LongPath(fallback)};

    const Site site(id);
    ASSERT_TRUE(MakeDirs(JoinPath(site.install.root, L".upkit_dir_test")));
    const Outcome run = Start({.exe = site.install.exe, .log = LongPath(log)});
    if (!run.exitCode && !run.report) GTEST_SKIP() << "the system could not start the game";
    ExpectEngineStarted(run, L"");
    // The copy is made by the start's first, silent location of the installation, before the
    // log exists: the log shows the folder, the disk shows the copy.
    ExpectLog(run, {{Lv::Warn, "Failed to open directory for writing *", kSome},
                    {Lv::Info, "Using fallback directory: " + Narrow(fallback)}});
    EXPECT_EQ(TryReadFile(LongPath(copy)), TryReadFile(site.install.updateExe));
    EXPECT_EQ(ListDir(LongPath(fallback)), Names({L"Update.exe", L"packages"}));
}

// ---- Access rights ----

// The current user's security identifier, in a buffer of its own.
std::vector<unsigned char> CurrentUserSid() {
    std::vector<unsigned char> sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        const PSID id = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
        sid.assign(static_cast<unsigned char*>(id),
                   static_cast<unsigned char*>(id) + GetLengthSid(id));
    }
    CloseHandle(token);
    return sid;
}

// Denies the current user some access to a file or folder for as long as it lives, then puts the
// object's own access list back.
class DeniedAccess {
public:
    DeniedAccess(const std::wstring& path, DWORD denied) : path_(path) {
        std::vector<unsigned char> sid = CurrentUserSid();
        PACL existing = nullptr;
        if (sid.empty() ||
            GetNamedSecurityInfoW(path_.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &existing, nullptr, &saved_) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot read the access list of " << Narrow(path_);
            return;
        }
        savedDacl_ = existing;
        EXPLICIT_ACCESS_W deny = {};
        deny.grfAccessPermissions = denied;
        deny.grfAccessMode = DENY_ACCESS;
        deny.grfInheritance = NO_INHERITANCE;
        deny.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        deny.Trustee.TrusteeType = TRUSTEE_IS_USER;
        deny.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid.data());
        PACL changed = nullptr;
        if (SetEntriesInAclW(1, &deny, existing, &changed) != ERROR_SUCCESS ||
            SetNamedSecurityInfoW(const_cast<LPWSTR>(path_.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, changed,
                                  nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot deny access to " << Narrow(path_);
        } else {
            applied_ = true;
        }
        if (changed != nullptr) LocalFree(changed);
    }
    ~DeniedAccess() {
        if (applied_) {
            SetNamedSecurityInfoW(const_cast<LPWSTR>(path_.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, savedDacl_, nullptr);
        }
        if (saved_ != nullptr) LocalFree(saved_);
    }
    DeniedAccess(const DeniedAccess&) = delete;
    DeniedAccess& operator=(const DeniedAccess&) = delete;

private:
    std::wstring path_;
    PSECURITY_DESCRIPTOR saved_ = nullptr;
    PACL savedDacl_ = nullptr;
    bool applied_ = false;
};

std::string OsError(int code) {
    return "Os { code: " + std::to_string(code) + ", kind: *, message: * }";
}

// A manifest the user may not read: the installation cannot be opened, which the log says, and
// the game starts all the same. The same outcome as a manifest held open by another program, with
// access denied (5) for the error.
TEST(WindowsOnly, AManifestTheUserMayNotReadIsNotReadable) {
    ZELT_SKIP_ON_WINE("Wine, run as root here, reads a file whatever its access list says");
    const Site site(CaseId("Rights", "manifest"));
    const LogFiles plain(PlainLogFile());
    std::unique_ptr<DeniedAccess> denied =
        std::make_unique<DeniedAccess>(site.install.manifest, FILE_READ_DATA);
    const Outcome run = Start({.exe = site.install.exe, .log = PlainLogFile()});
    denied.reset();
    ExpectEngineStarted(run, L"");
    ExpectLog(run, {{Lv::Error, "UpkitApp: Error loading manager/locator: NotInstalled(" +
                                    Quoted("Manifest file does not exist or is not readable: " +
                                           Quoted(site.install.manifest)) +
                                    ")"},
                    BudgetSpent(OsError(5))});
}

// A root whose access list keeps the user from creating files in it: the packages go to the
// per-user folder, with a copy of the updater, as for any root that refuses new files.
TEST(WindowsOnly, ARootTheUserMayNotWriteSendsPackagesToTheUsersFolder) {
    ZELT_SKIP_ON_WINE("Wine, run as root here, writes a folder whatever its access list says");
    const Site site(CaseId("Rights", "root"));
    const std::wstring fallback = JoinPath(LocalAppData(), Widen(site.id));
    RemoveTree(fallback);
    struct Cleanup {
        std::wstring folder;
        ~Cleanup() { RemoveTree(folder); }
    } cleanup{fallback};
    const LogFiles log(LogFileFor(site.id));
    std::unique_ptr<DeniedAccess> denied =
        std::make_unique<DeniedAccess>(site.install.root, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY);
    const Outcome run = Start({.exe = site.install.exe, .log = log.path()});
    denied.reset();
    ExpectEngineStarted(run, L"");
    const std::wstring copy = JoinPath(fallback, L"Update.exe");
    ExpectLog(run,
              {{Lv::Warn, "Failed to open directory for writing " +
                              Quoted(JoinPath(site.install.root, L".upkit_dir_test")) +
                              ": * (os error 5)"},
               {Lv::Info, "Root directory '" + Narrow(site.install.root) + "' writable: false"},
               {Lv::Info, "Using fallback directory: " + Narrow(fallback)}});
    EXPECT_EQ(TryReadFile(copy), TryReadFile(site.install.updateExe));
}

}  // namespace
}  // namespace zelt::test::hostile
