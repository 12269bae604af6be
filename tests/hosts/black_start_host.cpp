// Calls the fixture engine's entry point twice: once through the launcher's own sequence, which
// installs the window-creation hook around it and removes it after, and once after that. Each call
// runs its own window script.
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
    auto entry = reinterpret_cast<EngineEntry>(reinterpret_cast<void*>(found));
    if (entry == nullptr) return 2;
    wchar_t noArguments[] = L"";

    // The launcher's own sequence around the engine: the hook is installed, then removed.
    SetEnvironmentVariableW(L"ZELT_FIXTURE_WINDOWS", Env(L"ZELT_HOST_HOOKED_WINDOWS").c_str());
    RunEngineWithBlackStart(entry, GetModuleHandleW(nullptr), nullptr, noArguments, SW_SHOWDEFAULT);

    SetEnvironmentVariableW(L"ZELT_FIXTURE_WINDOWS", Env(L"ZELT_HOST_UNHOOKED_WINDOWS").c_str());
    entry(GetModuleHandleW(nullptr), nullptr, noArguments, SW_SHOWDEFAULT);
    return 0;
}
