#include "kit_system.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdio>

#include "kit_core.h"
#include "kit_win.h"

namespace zelt::kit {

namespace {

constexpr const wchar_t* kCurrentVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

std::optional<std::wstring> RegistryText(const wchar_t* key, const wchar_t* value) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, text.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

std::optional<DWORD> RegistryNumber(const wchar_t* key, const wchar_t* value) {
    DWORD number = 0;
    DWORD size = sizeof number;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_DWORD, nullptr, &number, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return number;
}

// The registry's ProductName says "Windows 10" on Windows 11 too: the name comes from the
// version the kernel reports, 11 being 10.0 from build 22000 on.
std::string WindowsLine() {
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    using RtlGetVersionCall = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionCall>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (rtlGetVersion == nullptr || rtlGetVersion(&version) != 0) return "Windows: unknown";
    const std::string name =
        WindowsName(version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
    std::string line = "Windows: " + name + ", version " + std::to_string(version.dwMajorVersion) +
                       "." + std::to_string(version.dwMinorVersion) + "." +
                       std::to_string(version.dwBuildNumber);
    if (auto ubr = RegistryNumber(kCurrentVersionKey, L"UBR")) line += "." + std::to_string(*ubr);
    auto release = RegistryText(kCurrentVersionKey, L"DisplayVersion");
    if (!release) release = RegistryText(kCurrentVersionKey, L"ReleaseId");
    if (release) line += " (" + Narrow(*release) + ")";
    if (auto edition = RegistryText(kCurrentVersionKey, L"EditionID")) {
        line += ", edition " + Narrow(*edition);
    }
    return line;
}

std::string WineLine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using VersionCall = const char*(CDECL*)();
    using HostCall = void(CDECL*)(const char**, const char**);
    const auto version = reinterpret_cast<VersionCall>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    if (version == nullptr) return "Wine: no";
    std::string line = std::string("Wine: yes, version ") + version();
    const auto host = reinterpret_cast<HostCall>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_host_version")));
    if (host != nullptr) {
        const char* system = nullptr;
        const char* release = nullptr;
        host(&system, &release);
        if (system != nullptr) {
            line += std::string(", on ") + system + (release != nullptr ? " " : "") +
                    (release != nullptr ? release : "");
        }
    }
    return line;
}

const char* MachineName(USHORT machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_AMD64:
            return "x64";
        case IMAGE_FILE_MACHINE_ARM64:
            return "ARM64";
        case IMAGE_FILE_MACHINE_I386:
            return "x86";
        default:
            return "unknown";
    }
}

std::string ArchitectureText() {
    using IsWow64Process2Call = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Call>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0;
    USHORT native = 0;
    if (isWow64Process2 != nullptr && isWow64Process2(GetCurrentProcess(), &process, &native)) {
        std::string text = MachineName(native);
        // An x64 program on ARM64 is emulated without being a WOW64 process.
        if (native != IMAGE_FILE_MACHINE_AMD64) text += " (this x64 program runs emulated)";
        return text;
    }
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            return "x64";
        case PROCESSOR_ARCHITECTURE_ARM64:
            return "ARM64";
        default:
            return "unknown";
    }
}

std::string ProcessorLine() {
    std::string name = "unknown";
    if (auto text = RegistryText(L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                                 L"ProcessorNameString")) {
        name = Narrow(*text);
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
    }
    return "Processor: " + name + ", " +
           std::to_string(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)) +
           " logical processors, native architecture " + ArchitectureText();
}

bool InAdministrators(HANDLE token) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(token, sid, &member) && member;
}

// A filtered administrator token (UAC's usual state) holds the Administrators group for denial
// only; the full token linked to it tells whether the user is one.
std::string RightsLine() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return "User rights: unknown";
    OwnedHandle token(raw);
    TOKEN_ELEVATION elevation = {};
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof elevation, &size);
    GetTokenInformation(token.Get(), TokenElevationType, &type, sizeof type, &size);
    bool admin = InAdministrators(nullptr);
    if (type == TokenElevationTypeLimited) {
        TOKEN_LINKED_TOKEN linked = {};
        if (GetTokenInformation(token.Get(), TokenLinkedToken, &linked, sizeof linked, &size)) {
            OwnedHandle full(linked.LinkedToken);
            admin = admin || InAdministrators(full.Get());
        }
    }
    std::string line = std::string("User rights: ") +
                       (admin ? "member of Administrators" : "not a member of Administrators") +
                       ", " + (elevation.TokenIsElevated ? "elevated" : "not elevated");
    if (type == TokenElevationTypeLimited) line += " (filtered administrator token)";
    if (type == TokenElevationTypeFull) line += " (full administrator token)";
    return line;
}

std::string LongPathsLine() {
    const auto enabled =
        RegistryNumber(L"SYSTEM\\CurrentControlSet\\Control\\FileSystem", L"LongPathsEnabled");
    if (!enabled) return "Long paths: not enabled system-wide (LongPathsEnabled is not set)";
    return std::string("Long paths: ") +
           (*enabled == 1 ? "enabled system-wide" : "not enabled system-wide") +
           " (LongPathsEnabled = " + std::to_string(*enabled) + ")";
}

std::string FileSystemLine(const std::wstring& folder) {
    wchar_t volume[MAX_PATH + 1] = {};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    DWORD flags = 0;
    if (!GetVolumePathNameW(folder.c_str(), volume, MAX_PATH + 1) ||
        !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, fileSystem,
                               MAX_PATH + 1)) {
        return "File system: unknown for " + Narrow(folder) + " (" + ErrorText(GetLastError()) +
               ")";
    }
    return "File system: " + Narrow(fileSystem) + " (volume " + Narrow(volume) + " of " +
           Narrow(folder) + "), sparse files " +
           ((flags & FILE_SUPPORTS_SPARSE_FILES) ? "supported" : "not supported");
}

// BCrypt's handles, closed on every path.
struct Algorithm {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Algorithm() {
        if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
    }
};
struct Hash {
    BCRYPT_HASH_HANDLE handle = nullptr;
    ~Hash() {
        if (handle != nullptr) BCryptDestroyHash(handle);
    }
};

}  // namespace

std::vector<std::string> DescribeSystem(const std::wstring& kitFolder) {
    return {WindowsLine(), WineLine(),      ProcessorLine(),
            RightsLine(),  LongPathsLine(), FileSystemLine(kitFolder)};
}

std::optional<std::string> Sha256Hex(const std::wstring& path) {
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid()) return std::nullopt;
    Algorithm algorithm;
    Hash hash;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(
            BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, nullptr, 0, 0))) {
        return std::nullopt;
    }
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                      nullptr)) {
            return std::nullopt;
        }
        if (read == 0) break;
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.handle, buffer.data(), read, 0))) {
            return std::nullopt;
        }
    }
    unsigned char digest[32];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.handle, digest, sizeof digest, 0))) {
        return std::nullopt;
    }
    std::string hex;
    char pair[3];
    for (unsigned char byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

}  // namespace zelt::kit
