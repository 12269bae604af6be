// Runs the runtime's start-up the way the game does, with all six host hooks registered through
// the runtime's C++ surface, and records every hook call.
//
//   ZELT_HOOK_RECORD  file that receives "userData=..." (the pointer passed to upkit_app_run),
//                     one "fired=HOOK|VERSION|USERDATA" line per hook call, and "returned=1" when
//                     upkit_app_run returns
//   ZELT_HOOK_ARGS    optional '|'-separated arguments that replace the command line's
//
// Exits with 3 when upkit_app_run returns, so an ended process (exit code 0) is told apart.
#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "../fixtures/fixture_record.h"
#include "statics.h"
#include "upkit.h"

namespace {

std::wstring g_recordPath;
int g_hostData;  // its address is the user data

using zelt::fixture::Utf8;

std::string PointerText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return text;
}

// Appends one line and closes the file at once: a hook invocation ends the process right after
// the hook returns.
void Append(const std::string& line) {
    FILE* file = _wfopen(g_recordPath.c_str(), L"ab");
    if (file == nullptr) return;
    std::fputs((line + "\n").c_str(), file);
    std::fclose(file);
}

void Fired(const char* hook, void* userData, const char* version) {
    Append(std::string("fired=") + hook + "|" + (version ? version : "(null)") + "|" +
           PointerText(userData));
}

void OnInstall(void* userData, const char* version) {
    Fired("install", userData, version);
}
void OnUpdated(void* userData, const char* version) {
    Fired("updated", userData, version);
}
void OnObsolete(void* userData, const char* version) {
    Fired("obsolete", userData, version);
}
void OnUninstall(void* userData, const char* version) {
    Fired("uninstall", userData, version);
}
void OnFirstRun(void* userData, const char* version) {
    Fired("firstrun", userData, version);
}
void OnRestarted(void* userData, const char* version) {
    Fired("restarted", userData, version);
}

std::optional<std::wstring> Env(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

}  // namespace

int wmain() {
    g_recordPath = Env(L"ZELT_HOOK_RECORD").value_or(L"hook-record.txt");
    Append("userData=" + PointerText(&g_hostData));

    upkit::SetHooks(OnInstall, OnUpdated, OnObsolete, OnUninstall, OnFirstRun, OnRestarted);
    if (const std::optional<std::wstring> args = Env(L"ZELT_HOOK_ARGS")) {
        std::vector<std::string> list;
        size_t start = 0;
        for (;;) {
            const size_t end = args->find(L'|', start);
            list.push_back(
                Utf8(args->substr(start, end == std::wstring::npos ? end : end - start)));
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
        upkit::SetArgsOverride(list);
    }

    upkit_app_set_apply_on_start(false);
    upkit_app_run(&g_hostData);
    Append("returned=1");
    return 3;
}
