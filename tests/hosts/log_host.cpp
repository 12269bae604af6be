// A host of the runtime for the log tests: it owns its process, so it may install the runtime's
// logger, run the start-up several times and let a fault end it.
//
//   log_host forward <callback file>
//       Sets a log callback that appends "level<TAB>message" lines to the file, then runs the
//       start-up three times: after the first run the log file is renamed to upkit.first.log,
//       before the third the global level is set to Off. Then emits an Info record holding a NUL
//       and a Debug and a Trace record. Exits with 0.
//   log_host fault <callback file> text|none
//       Names its thread "zelt-main" (text) or leaves it unnamed (none) and starts as the
//       installer's "--upkit-install 1.2.3" with an install hook that throws a std::runtime_error
//       "install hook failed" (text) or an int (none). The runtime ends the process; exits with
//       99 if it comes back, and also if the C runtime's abort is reached (a SIGABRT handler
//       exits with 99), since abort is the path that shows a dialog on Windows.
//   log_host terminate <callback file>
//       Runs the start-up once, then calls std::terminate as a broken rule of the language would.
//       Exits with 99 if it comes back or abort is reached.
//   log_host hardware <callback file> before|after <kind>
//       A fault while the runtime's start-up runs: an access violation (av), a stack overflow
//       (stack) or a terminate (terminate) on the start-up's own thread, an access violation on a
//       second thread named "zelt-worker" while the start-up's thread waits for it (thread-av),
//       an access violation while the thread holds the loader lock, taken with ntdll's
//       LdrLockLoaderLock as a fault inside a DllMain or a LoadLibrary would hold it
//       (loader-lock), or a C++ throw of Microsoft's runtime that nothing catches, raised as that
//       runtime raises it, with its four parameters naming this host as the thrower
//       (msvc-throw). "after": inside the installer's install hook ("--upkit-install 1.2.3"),
//       once the log is set up. "before": inside a logger of the host's own, installed before
//       the start-up with the level at Trace, on the start-up's first record (its entry line),
//       which comes before the log's set-up; the runtime's own log is then never set up. First
//       writes "<callback file>.where" with the offsets from the host's base of the functions
//       that fault ("touchNowhere=0x..." and "overflow=0x...") and of the thrown type's
//       description ("throwInfo=0x..."). Exits with 99 if it comes back or abort is reached.
//   log_host held-log <callback file>
//       Runs the start-up once. On the start-up's last record ("upkit_app_run() => ()"), the log
//       callback, which holds the runtime's callback lock, starts a worker named "zelt-worker"
//       that faults with an access violation and sleeps 200 ms before it returns, as a host's
//       callback that writes slowly would. If the start-up comes back, writes
//       "<callback file>.went-on" and exits with 0, as the launcher would go on to load the
//       engine.
//   log_host own-filter <callback file>
//       Runs the start-up once; on its first Info record the log callback installs an
//       unhandled-exception filter of the host's own, as a library loaded during the start-up
//       might. Exits with 0 when that filter is still installed after the start-up, else 5.
//   log_host exe-path <output file>
//       Writes the runtime's idea of the executable's path (UTF-8) to the file.
#include <windows.h>

#include <shellapi.h>

#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "deliberate_faults.h"
#include "log_setup.h"
#include "logging.h"
#include "misc.h"
#include "statics.h"
#include "upkit.h"

namespace {

void AppendRecord(void* userData, const char* level, const char* message) {
    FILE* file = static_cast<FILE*>(userData);
    std::fprintf(file, "%s\t%s\n", level, message);
    std::fflush(file);
}

void ThrowText(void*, const char*) {
    throw std::runtime_error("install hook failed");
}
void ThrowInt(void*, const char*) {
    throw 42;
}

bool NameThisThread(const wchar_t* name) {
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    auto fn = reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    return fn != nullptr && SUCCEEDED(fn(GetCurrentThread(), name));
}

std::wstring LogDir() {
    upkit::IoResult<upkit::Path> appData = upkit::SystemFileSystem().LocalAppDataDir();
    if (!appData) return L"";
    const upkit::Path dir = upkit::JoinPath(appData.value(), "upkit");
    return std::wstring(dir.Units().begin(), dir.Units().end());
}

int Forward() {
    upkit::SetArgsOverride(std::vector<std::string>{});
    upkit_app_run(nullptr);
    const std::wstring dir = LogDir();
    if (!MoveFileExW((dir + L"\\upkit.log").c_str(), (dir + L"\\upkit.first.log").c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        return 3;
    }
    upkit_app_run(reinterpret_cast<void*>(0x1234));
    upkit::SetMaxLevel(upkit::Level::Off);
    upkit_app_run(reinterpret_cast<void*>(0x1234));
    UPKIT_INFO("log_host", std::string("nul\0inside", 10));
    UPKIT_DEBUG("log_host", "debug record");
    UPKIT_TRACE("log_host", "trace record");
    return 0;
}

int Fault(const std::wstring& kind) {
    std::signal(SIGABRT, [](int) { std::_Exit(99); });
    const bool text = kind == L"text";
    if (text && !NameThisThread(L"zelt-main")) return 4;
    upkit::SetArgsOverride(std::vector<std::string>{"--upkit-install", "1.2.3"});
    upkit::SetHooks(text ? &ThrowText : &ThrowInt, nullptr, nullptr, nullptr, nullptr, nullptr);
    upkit_app_run(nullptr);
    return 99;
}

int Terminate() {
    std::signal(SIGABRT, [](int) { std::_Exit(99); });
    upkit::SetArgsOverride(std::vector<std::string>{});
    upkit_app_run(nullptr);
    std::terminate();
}

// ---- Faults while the start-up runs ----

// The loader lock, taken as a fault inside a DllMain or a LoadLibrary would hold it.
bool TakeLoaderLock() {
    using LdrLockLoaderLockFn = LONG(NTAPI*)(ULONG flags, ULONG * state, ULONG_PTR * cookie);
    const auto lock = reinterpret_cast<LdrLockLoaderLockFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
    ULONG_PTR cookie = 0;
    return lock != nullptr && lock(0, nullptr, &cookie) >= 0;
}

// What Microsoft's C++ runtime describes a thrown type with; only its address matters here.
const volatile unsigned char g_throwInfo[32] = {1};
const volatile int g_thrown = 7;

// A throw as Microsoft's C++ runtime raises it (_CxxThrowException): the code 0xE06D7363 and, on
// x64, the magic number, the object, the type's description and the thrower's image base.
void ThrowAsMicrosoftsRuntime() {
    const ULONG_PTR parameters[4] = {0x19930520, reinterpret_cast<ULONG_PTR>(&g_thrown),
                                     reinterpret_cast<ULONG_PTR>(&g_throwInfo),
                                     reinterpret_cast<ULONG_PTR>(GetModuleHandleW(nullptr))};
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 4, parameters);
}

std::wstring g_faultKind;

using zelt::fixture::Overflow;
using zelt::fixture::TouchNowhere;

DWORD WINAPI FaultingWorker(void*) {
    NameThisThread(L"zelt-worker");
    TouchNowhere();
    return 0;
}

void FaultNow() {
    if (g_faultKind == L"av") {
        TouchNowhere();
    } else if (g_faultKind == L"stack") {
        Overflow(0);
    } else if (g_faultKind == L"terminate") {
        std::terminate();
    } else if (g_faultKind == L"thread-av") {
        HANDLE worker = CreateThread(nullptr, 0, &FaultingWorker, nullptr, 0, nullptr);
        if (worker != nullptr) WaitForSingleObject(worker, INFINITE);
    } else if (g_faultKind == L"loader-lock") {
        if (TakeLoaderLock()) TouchNowhere();
    } else if (g_faultKind == L"msvc-throw") {
        ThrowAsMicrosoftsRuntime();
    }
}

void FaultInHook(void*, const char*) {
    FaultNow();
}

// Faults on the first record it is given.
class FaultingLogger : public upkit::Logger {
public:
    void Log(upkit::Level, std::string_view, std::string_view) override { FaultNow(); }
};

std::string Offset(const void* function) {
    char text[32];
    std::snprintf(
        text, sizeof text, "0x%llx",
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(function) -
                                        reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr))));
    return text;
}

int Hardware(const std::wstring& records, const std::wstring& when, const std::wstring& kind) {
    std::signal(SIGABRT, [](int) { std::_Exit(99); });
    FILE* where = _wfopen((records + L".where").c_str(), L"wb");
    if (where == nullptr) return 2;
    std::fprintf(where, "touchNowhere=%s\noverflow=%s\nthrowInfo=%s\n",
                 Offset(reinterpret_cast<const void*>(&TouchNowhere)).c_str(),
                 Offset(reinterpret_cast<const void*>(&Overflow)).c_str(),
                 Offset(const_cast<const unsigned char*>(g_throwInfo)).c_str());
    std::fclose(where);
    g_faultKind = kind;
    if (when == L"before") {
        upkit::SetArgsOverride(std::vector<std::string>{});
        upkit::SetMaxLevel(upkit::Level::Trace);
        if (!upkit::InstallLogger(std::make_unique<FaultingLogger>())) return 4;
    } else if (when == L"after") {
        upkit::SetArgsOverride(std::vector<std::string>{"--upkit-install", "1.2.3"});
        upkit::SetHooks(&FaultInHook, nullptr, nullptr, nullptr, nullptr, nullptr);
    } else {
        return 2;
    }
    upkit_app_run(nullptr);
    return 99;
}

// ---- The edges of the runtime's fault handling ----

FILE* g_records = nullptr;
std::wstring g_recordsPath;
bool g_sawInfo = false;

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) {
    return EXCEPTION_CONTINUE_SEARCH;
}

void FaultWhileHoldingTheCallback(void*, const char* level, const char* message) {
    if (std::string(message) == "upkit_app_run() => ()") {
        HANDLE worker = CreateThread(nullptr, 0, &FaultingWorker, nullptr, 0, nullptr);
        if (worker != nullptr) CloseHandle(worker);
        Sleep(200);
    }
    AppendRecord(g_records, level, message);
}

void InstallFilterOnFirstInfo(void*, const char* level, const char* message) {
    if (!g_sawInfo && std::string(level) == "info") {
        g_sawInfo = true;
        SetUnhandledExceptionFilter(&HostFilter);
    }
    AppendRecord(g_records, level, message);
}

int HeldLog() {
    std::signal(SIGABRT, [](int) { std::_Exit(99); });
    upkit::SetLogCallback(&FaultWhileHoldingTheCallback, nullptr);
    upkit::SetArgsOverride(std::vector<std::string>{});
    upkit_app_run(nullptr);
    FILE* marker = _wfopen((g_recordsPath + L".went-on").c_str(), L"wb");
    if (marker != nullptr) std::fclose(marker);
    return 0;
}

int OwnFilter() {
    upkit::SetLogCallback(&InstallFilterOnFirstInfo, nullptr);
    upkit::SetArgsOverride(std::vector<std::string>{});
    upkit_app_run(nullptr);
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    return g_sawInfo && current == &HostFilter ? 0 : 5;
}

int ExePath(const wchar_t* output) {
    upkit::IoResult<upkit::Path> path = upkit::SystemFileSystem().CurrentExePath();
    FILE* file = _wfopen(output, L"wb");
    if (file == nullptr) return 2;
    const std::string text = path ? upkit::PathDisplay(path.value()) : "error";
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    return path ? 0 : 1;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return 2;
    const std::wstring mode = argv[1];
    if (mode == L"exe-path") return ExePath(argv[2]);

    FILE* callbackFile = _wfopen(argv[2], L"ab");
    if (callbackFile == nullptr) return 2;
    g_records = callbackFile;
    g_recordsPath = argv[2];
    upkit::SetLogCallback(&AppendRecord, callbackFile);
    if (mode == L"forward") return Forward();
    if (mode == L"fault" && argc >= 4) return Fault(argv[3]);
    if (mode == L"terminate") return Terminate();
    if (mode == L"hardware" && argc >= 5) return Hardware(argv[2], argv[3], argv[4]);
    if (mode == L"held-log") return HeldLog();
    if (mode == L"own-filter") return OwnFilter();
    return 2;
}
