// The game's start-up executable: runs the update runtime's start-up, then hands the process to
// the engine library beside it. The engine's result is the exit code.
//
// Plain procedural Win32 on purpose: fixed, zero-filled buffers and no heap, so that nothing here
// can fail in a way the player cannot be told about.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>

#include "black_start.h"
#include "engine_path.h"
#include "upkit.h"

// The engine's entry point. UnityPlayer.dll is a delay-loaded import: the executable starts
// without it, and the binding happens at the first call, after the library was loaded and the
// entry point was checked below.
extern "C" int WINAPI UnityMain2(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine,
                                 int showCommand);

// Read from the image by the graphics drivers and the Direct3D 12 runtime; exported by name
// (see ZeltOy2.def). Run on the high-performance GPU, and use the Agility SDK in .\D3D12\.
extern "C" {
uint32_t NvOptimusEnablement = 1;
int32_t AmdPowerXpressRequestHighPerformance = 1;
extern const uint32_t D3D12SDKVersion = 618;
const char* D3D12SDKPath = ".\\D3D12\\";
}

namespace {

constexpr size_t kMessageChars = 512;
constexpr DWORD kEnvProbeChars = 4;
constexpr char kEngineEntry[] = "UnityMain2";

constexpr wchar_t kLoadFailedText[] =
    L"UnityPlayer.dll yüklenemedi (hata %lu).\nOyun dosyaları eksik ya da bozuk: oyunu yeniden "
    L"kurun.";
constexpr wchar_t kNoEntryText[] =
    L"UnityPlayer.dll bu oyunun sürümüyle uyumsuz (UnityMain2 yok, hata %lu).\nOyunu yeniden "
    L"kurun.";

constexpr int kExitEngineNotLoadable = 126;
constexpr int kExitNoEngineEntry = 127;

int FormatErrorText(wchar_t (&buffer)[kMessageChars], const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int count = _vsnwprintf(buffer, kMessageChars, format, args);
    va_end(args);
    return count;
}

// Tells the player what went wrong, unless ZELT_BASLATICI_KUTUSUZ is exactly "1" (set by
// automated runs that only look at the exit code).
void ShowLauncherError(wchar_t (&message)[kMessageChars], const wchar_t* format, DWORD errorCode) {
    FormatErrorText(message, format, errorCode);
    wchar_t probe[kEnvProbeChars] = {};
    const DWORD length = GetEnvironmentVariableW(L"ZELT_BASLATICI_KUTUSUZ", probe, kEnvProbeChars);
    const bool suppressed = length == 1 && probe[0] == L'1';
    if (!suppressed) {
        MessageBoxW(nullptr, message, kProductTitle, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand) {
    // A downloaded update waits for the updater; it is never applied while the game starts.
    upkit_app_set_apply_on_start(false);
    // May end the process (installer and updater hooks); otherwise the game starts.
    upkit_app_run(nullptr);

    wchar_t modulePath[kModulePathChars];
    wmemset(modulePath, L'\0', kModulePathChars);
    const DWORD length = GetModuleFileNameW(nullptr, modulePath, kModulePathChars);

    // A library that cannot be bound (a missing entry point, a damaged image, in the engine or in
    // one of its dependencies) would have Windows show a dialog of its own first; the launcher's
    // message says it in the player's words. The engine then runs with the mode the process had.
    DWORD previousMode = GetThreadErrorMode();
    const bool modeSet =
        SetThreadErrorMode(previousMode | SEM_FAILCRITICALERRORS, &previousMode) != FALSE;
    HMODULE engine = nullptr;
    if (PointAtEngineLibrary(modulePath, length)) {
        // The engine's own dependencies are looked up beside it first, too. A library that is
        // there but fails to load is not replaced by another one found elsewhere.
        engine = LoadLibraryExW(modulePath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    } else {
        engine = LoadLibraryW(kEngineLibrary);
    }
    // Taken before the mode is put back, which may set the thread's last error itself.
    const DWORD loadError = engine == nullptr ? GetLastError() : ERROR_SUCCESS;
    if (modeSet) SetThreadErrorMode(previousMode, nullptr);

    wchar_t message[kMessageChars];
    wmemset(message, L'\0', kMessageChars);

    if (engine == nullptr) {
        ShowLauncherError(message, kLoadFailedText, loadError);
        return kExitEngineNotLoadable;
    }
    // Checked here so that the delay-loaded binding below finds the entry in the module just
    // loaded and can never fail.
    if (GetProcAddress(engine, kEngineEntry) == nullptr) {
        const DWORD error = GetLastError();
        ShowLauncherError(message, kNoEntryText, error);
        return kExitNoEngineEntry;
    }

    return RunEngineWithBlackStart(&UnityMain2, instance, previous, commandLine, showCommand);
}
