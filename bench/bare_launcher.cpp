// The baseline of the start-up benchmark: the least a launcher can do. It loads UnityPlayer.dll
// from its own folder and calls UnityMain2, with no update runtime, no window hook and no checks
// beyond what it needs not to crash. Whatever ZeltOy2.exe takes beyond this is its own cost.
#include <windows.h>

#include <cwchar>

using EntryPoint = int(WINAPI*)(HINSTANCE, HINSTANCE, LPWSTR, int);

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand) {
    wchar_t path[MAX_PATH + 32] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 125;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr) return 125;
    wcscpy(slash + 1, L"UnityPlayer.dll");
    HMODULE engine = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (engine == nullptr) return 126;
    const auto entry =
        reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(engine, "UnityMain2")));
    if (entry == nullptr) return 127;
    return entry(instance, previous, commandLine, showCommand);
}
