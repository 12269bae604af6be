// Calls the fixture engine's entry point twice: once with the launcher's window-creation hook
// installed around it, once after removing the hook. Each call runs its own window script.
//
//   ZELT_HOST_HOOKED_WINDOWS    window script for the hooked call
//   ZELT_HOST_UNHOOKED_WINDOWS  window script for the call after the hook is gone
//   ZELT_FIXTURE_REPORT         where the engine writes its record (both calls add to it)
//
// Exits with 0, or 2 when the engine cannot be loaded.
#include <windows.h>

#include <string>

#include "black_start.h"

namespace {

using EntryPoint = int(WINAPI*)(HINSTANCE, HINSTANCE, LPWSTR, int);

std::wstring Env(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

}  // namespace

int wmain() {
    wchar_t self[MAX_PATH] = {};
    std::wstring engine(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    engine.resize(engine.find_last_of(L'\\') + 1);
    engine += L"fixture_engine.dll";
    HMODULE module = LoadLibraryW(engine.c_str());
    FARPROC found = module ? GetProcAddress(module, "UnityMain2") : nullptr;
    auto entry = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(found));
    if (entry == nullptr) return 2;
    wchar_t noArguments[] = L"";

    SetEnvironmentVariableW(L"ZELT_FIXTURE_WINDOWS", Env(L"ZELT_HOST_HOOKED_WINDOWS").c_str());
    g_cbtHook = SetWindowsHookExW(WH_CBT, CbtHookProc, nullptr, GetCurrentThreadId());
    entry(GetModuleHandleW(nullptr), nullptr, noArguments, SW_SHOWDEFAULT);
    if (g_cbtHook != nullptr) UnhookWindowsHookEx(g_cbtHook);
    g_cbtHook = nullptr;

    SetEnvironmentVariableW(L"ZELT_FIXTURE_WINDOWS", Env(L"ZELT_HOST_UNHOOKED_WINDOWS").c_str());
    entry(GetModuleHandleW(nullptr), nullptr, noArguments, SW_SHOWDEFAULT);
    return 0;
}
