#include <windows.h>

#include <vector>

#include "platform.h"
#include "text.h"

namespace upkit {

namespace {
const wchar_t* W(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}
}  // namespace

std::u16string ProcessCommandLine() {
    const wchar_t* line = GetCommandLineW();
    if (line == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(line));
}

std::optional<std::u16string> ReadEnvVar(const char16_t* name) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n =
            GetEnvironmentVariableW(W(name), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::u16string();  // present and empty
        }
        if (n < buffer.size()) {
            return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), n);
        }
        buffer.resize(n);
    }
}

bool EnvVarIsSet(const char16_t* name) {
    std::optional<std::u16string> value = ReadEnvVar(name);
    return value && IsValidUtf16(*value);
}

void RemoveEnvVar(const char16_t* name) {
    SetEnvironmentVariableW(W(name), nullptr);
}

void EndProcess(uint32_t exitCode) {
    ExitProcess(exitCode);
}

void EndProcessAfterFault() {
    // Ends every thread at once, without running anything more in this broken process (no DLL
    // detach, no static destructors that could fault again), and without abort's message box.
    TerminateProcess(GetCurrentProcess(), kFaultExitCode);
    // Only reached if the system refused to end the process.
    ExitProcess(kFaultExitCode);
}

std::optional<std::string> CurrentThreadName() {
    // GetThreadDescription exists from Windows 10 1607 on; look it up so older systems still run.
    using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto fn = kernel ? reinterpret_cast<GetThreadDescriptionFn>(
                           reinterpret_cast<void*>(GetProcAddress(kernel, "GetThreadDescription")))
                     : nullptr;
    if (fn == nullptr) return std::nullopt;
    PWSTR name = nullptr;
    if (FAILED(fn(GetCurrentThread(), &name)) || name == nullptr) return std::nullopt;
    std::u16string units(reinterpret_cast<const char16_t*>(name));
    LocalFree(name);
    if (units.empty()) return std::nullopt;
    return Utf16ToUtf8Lossy(units);
}

}  // namespace upkit
