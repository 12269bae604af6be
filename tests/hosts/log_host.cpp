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
//   log_host exe-path <output file>
//       Writes the runtime's idea of the executable's path (UTF-8) to the file.
#include <windows.h>

#include <shellapi.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

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
    upkit::SetLogCallback(&AppendRecord, callbackFile);
    if (mode == L"forward") return Forward();
    if (mode == L"fault" && argc >= 4) return Fault(argv[3]);
    if (mode == L"terminate") return Terminate();
    return 2;
}
