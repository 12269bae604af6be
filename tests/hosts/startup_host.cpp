// Drives the update runtime's start-up the way a host program that links it would, with what the
// launcher leaves out: the apply-on-start option left unset (or set), hooks, a log callback and the
// overrides. Or calls the updater launch directly. Everything it sees is appended, one "key=value"
// line at a time, to the record file, so that a run ended inside the runtime still leaves its
// record behind.
//
// Environment:
//   ZELT_HOST_RECORD   the record file (required)
//   ZELT_HOST_MODE     "run" (default): upkit_app_run; "launch": one updater launch
//   ZELT_HOST_APPLY    "0" or "1": upkit_app_set_apply_on_start; absent: left unset
//   ZELT_HOST_ROOT     an installation root given as an explicit locator configuration
//   ZELT_HOST_ARGS     '|'-separated arguments given as the argument override
//   ZELT_HOST_FILE     launch: the package file name
//   ZELT_HOST_SILENT   launch: "1" for silent
//   ZELT_HOST_RESTART  launch: "0" for no restart
//   ZELT_HOST_WAIT     launch: "none", "current" (default) or a process id
//   ZELT_HOST_STRIPENV launch: "1" removes every variable not named with a leading "=" first
//   ZELT_HOST_ENVLIST  launch: "1" records the environment (hostenv) just before the launch
// In launch mode the restart arguments are this program's own arguments.
//
// Record keys: pid, hook.<name> (the version), hook.<name>.userData, log.<level> (the message),
// launch (ok or the error's debug form), hostenv (entries in block order), returned, aumid /
// aumid.none, after.<marker>.present.
// Exit code: 0 when the runtime ended the process, 3 when upkit_app_run returned, 4 after a
// launch.
#include <windows.h>
#include <shobjidl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../fixtures/fixture_record.h"
#include "cmdline.h"
#include "locator.h"
#include "logging.h"
#include "process_win.h"
#include "statics.h"
#include "text.h"
#include "upkit.h"

namespace {

using zelt::fixture::Escape;
using zelt::fixture::ReadEnv;
using zelt::fixture::Utf8;

std::wstring g_recordPath;
int g_userDataMarker = 0;

void Append(std::string_view key, std::string_view value) {
    std::string line(key);
    line += '=';
    line += Escape(value);
    line += '\n';
    HANDLE file = CreateFileW(g_recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

std::string Env(const wchar_t* name, bool* present = nullptr) {
    std::wstring value;
    const bool found = ReadEnv(name, value);
    if (present) *present = found;
    return Utf8(value);
}

void Hook(const char* name, void* userData, const char* version) {
    Append(std::string("hook.") + name, version);
    Append(std::string("hook.") + name + ".userData",
           userData == &g_userDataMarker ? "marker" : "other");
}

#define HOOK(fn, name)                             \
    void fn(void* userData, const char* version) { \
        Hook(name, userData, version);             \
    }
HOOK(OnInstall, "install")
HOOK(OnUpdated, "updated")
HOOK(OnObsolete, "obsolete")
HOOK(OnUninstall, "uninstall")
HOOK(OnFirstRun, "firstrun")
HOOK(OnRestarted, "restarted")
#undef HOOK

void OnLog(void*, const char* level, const char* message) {
    Append(std::string("log.") + level, message);
}

// In launch mode no runtime log is set up: this logger records what the launch writes.
class RecordLogger final : public upkit::Logger {
public:
    void Log(upkit::Level level, std::string_view target, std::string_view message) override {
        Append(std::string("log.") + upkit::LevelLowerName(level),
               std::string(message) + " [" + std::string(target) + "]");
    }
};

std::vector<std::string> OwnArguments() {
    std::vector<std::string> args;
    const wchar_t* line = GetCommandLineW();
    for (const std::u16string& arg :
         upkit::SplitCommandLine(reinterpret_cast<const char16_t*>(line))) {
        args.push_back(upkit::Utf16ToUtf8Lossy(arg));
    }
    return args;
}

std::vector<std::wstring> EnvironmentEntries() {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    return entries;
}

int Launch() {
    upkit::InstallLogger(std::make_unique<RecordLogger>());
    upkit::SetMaxLevel(upkit::Level::Trace);

    upkit::Locator locator;
    locator.config = upkit::ConfigFromRoot(upkit::Path::FromUtf8(Env(L"ZELT_HOST_ROOT")));
    upkit::WaitTarget wait = upkit::WaitTarget::CurrentProcess();
    const std::string waitText = Env(L"ZELT_HOST_WAIT");
    if (waitText == "none") {
        wait = upkit::WaitTarget::NoWait();
    } else if (!waitText.empty() && waitText != "current") {
        wait = upkit::WaitTarget::ProcessId(static_cast<uint32_t>(std::stoul(waitText)));
    }
    const std::string fileName = Env(L"ZELT_HOST_FILE");
    const bool silent = Env(L"ZELT_HOST_SILENT") == "1";
    const bool restart = Env(L"ZELT_HOST_RESTART") != "0";
    const bool listEnvironment = Env(L"ZELT_HOST_ENVLIST") == "1";
    if (Env(L"ZELT_HOST_STRIPENV") == "1") {
        for (const std::wstring& entry : EnvironmentEntries()) {
            if (entry.empty() || entry[0] == L'=') continue;
            SetEnvironmentVariableW(entry.substr(0, entry.find(L'=')).c_str(), nullptr);
        }
    }
    if (listEnvironment) {
        for (const std::wstring& entry : EnvironmentEntries()) Append("hostenv", Utf8(entry));
    }
    upkit::Status launched = upkit::LaunchUpdater(upkit::SystemFileSystem(), locator, fileName,
                                                  silent, wait, restart, OwnArguments());
    Append("launch", launched ? "ok" : launched.error().Debug());
    return 4;
}

int Run() {
    bool present = false;
    const std::string apply = Env(L"ZELT_HOST_APPLY", &present);
    if (present) upkit_app_set_apply_on_start(apply == "1");

    const std::string root = Env(L"ZELT_HOST_ROOT", &present);
    if (present) upkit::SetLocatorOverride(upkit::ConfigFromRoot(upkit::Path::FromUtf8(root)));

    const std::string args = Env(L"ZELT_HOST_ARGS", &present);
    if (present) {
        std::vector<std::string> list;
        size_t start = 0;
        for (;;) {
            const size_t end = args.find('|', start);
            list.push_back(args.substr(start, end == std::string::npos ? end : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        upkit::SetArgsOverride(list);
    }

    upkit::SetHooks(OnInstall, OnUpdated, OnObsolete, OnUninstall, OnFirstRun, OnRestarted);
    upkit::SetLogCallback(OnLog, nullptr);

    upkit_app_run(&g_userDataMarker);

    Append("returned", "1");
    PWSTR id = nullptr;
    if (SUCCEEDED(GetCurrentProcessExplicitAppUserModelID(&id)) && id != nullptr) {
        Append("aumid", Utf8(id));
        CoTaskMemFree(id);
    } else {
        Append("aumid.none", "1");
    }
    for (const wchar_t* marker : {L"UPKIT_FIRSTRUN", L"UPKIT_RESTART"}) {
        bool set = false;
        Env(marker, &set);
        Append("after." + Utf8(marker) + ".present", set ? "1" : "0");
    }
    return 3;
}

}  // namespace

int main() {
    std::wstring path;
    if (!ReadEnv(L"ZELT_HOST_RECORD", path) || path.empty()) return 2;
    g_recordPath = path;
    Append("pid", std::to_string(GetCurrentProcessId()));
    return Env(L"ZELT_HOST_MODE") == "launch" ? Launch() : Run();
}
