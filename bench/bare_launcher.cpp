// The baselines of the start-up benchmark: the least a launcher can do and still be started by
// the system as ZeltOy2.exe is. It carries the same application manifest (see bench/CMakeLists.txt)
// and hands over to the engine through the same function, with the same window hook, so that what
// ZeltOy2.exe takes beyond it is the update runtime alone. It loads UnityPlayer.dll from its own
// folder and calls UnityMain2, with no update runtime and no checks beyond what it needs not to
// crash.
//
// Built twice: bare_launcher.exe as above, and bare_launcher_shell.exe (ZELT_BARE_LOADS_SHELL),
// which also loads shell32.dll and ole32.dll before the hand-off. The runtime needs both for the
// known-folder and application-identity calls; a real engine library loads them at its own start
// anyway, the fixture engine does not, so against this second baseline the runtime is charged
// only for what a real game would not have paid already.
#include <windows.h>

#include <cwchar>

#include "black_start.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand) {
#ifdef ZELT_BARE_LOADS_SHELL
    if (LoadLibraryW(L"shell32.dll") == nullptr || LoadLibraryW(L"ole32.dll") == nullptr) {
        return 124;
    }
#endif
    wchar_t path[MAX_PATH + 32] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 125;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr) return 125;
    wcscpy(slash + 1, L"UnityPlayer.dll");
    HMODULE engine = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (engine == nullptr) return 126;
    const auto entry = reinterpret_cast<EngineEntry>(
        reinterpret_cast<void*>(GetProcAddress(engine, "UnityMain2")));
    if (entry == nullptr) return 127;
    return RunEngineWithBlackStart(entry, instance, previous, commandLine, showCommand);
}
