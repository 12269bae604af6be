// The Windows side of the file-system layer.
#include <windows.h>

#include <shlobj.h>

#include <vector>

#include "logging.h"
#include "misc.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::misc";

// FOLDERID_LocalAppData, spelled out so that no GUID library is needed at link time.
constexpr GUID kFolderLocalAppData = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

const wchar_t* W(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

Path PathFromWide(const wchar_t* units, size_t length) {
    return Path(std::u16string(reinterpret_cast<const char16_t*>(units), length));
}

IoError LastOsError() {
    return IoError::FromOsCode(static_cast<int32_t>(GetLastError()));
}

}  // namespace

bool CanWriteToDirectory(const Path& dir) {
    const Path probe = JoinPath(dir, ".upkit_dir_test");
    IoResult<std::u16string> text = SystemPathText(probe);
    if (!text) {
        UPKIT_WARN(kTarget, "Failed to open directory for writing " + PathDebug(probe) + ": " +
                                text.error().Display());
        return false;
    }
    // Delete-on-close: the only handle to the probe removes it, so no probe file is left behind
    // however the process ends.
    const HANDLE handle = CreateFileW(W(text.value()), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const IoError error = LastOsError();
        UPKIT_WARN(kTarget, "Failed to open directory for writing " + PathDebug(probe) + ": " +
                                error.Display());
        return false;
    }
    CloseHandle(handle);
    return true;
}

IoResult<Path> LocalAppDataDir() {
    PWSTR text = nullptr;
    const HRESULT result = SHGetKnownFolderPath(kFolderLocalAppData, 0, nullptr, &text);
    if (FAILED(result)) {
        CoTaskMemFree(text);
        return IoError::FromOsCode(static_cast<int32_t>(result));
    }
    if (text == nullptr) {
        return IoError::WithMessage(
            IoErrorKind::Other,
            "Failed to get known folder path (SHGetKnownFolderPath returned null)");
    }
    Path path = PathFromWide(text, wcslen(text));
    CoTaskMemFree(text);
    return path;
}

IoResult<Path> CurrentExePath() {
    constexpr uint64_t kLargest = 0xFFFFFFFFu;
    std::vector<wchar_t> buffer(512);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0 && GetLastError() != ERROR_SUCCESS) return LastOsError();
        if (length < size) return PathFromWide(buffer.data(), length);
        // The path was cut to the buffer's size.
        if (buffer.size() >= kLargest) {
            return IoError::FromOsCode(ERROR_INSUFFICIENT_BUFFER);
        }
        const uint64_t grown = static_cast<uint64_t>(buffer.size()) * 2;
        buffer.resize(static_cast<size_t>(grown < kLargest ? grown : kLargest));
    }
}

bool PathExists(const Path& path) {
    IoResult<std::u16string> text = SystemPathText(path);
    if (!text) return false;
    const DWORD attributes = GetFileAttributesW(W(text.value()));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
    // A link: it exists only if its target does. Opening without access rights follows it.
    const HANDLE handle =
        CreateFileW(W(text.value()), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

IoResult<Unit> CreateDirAll(const Path& dir) {
    if (dir.Empty()) return Unit{};
    IoResult<std::u16string> text = SystemPathText(dir);
    if (!text) return text.error();
    if (CreateDirectoryW(W(text.value()), nullptr)) return Unit{};
    DWORD code = GetLastError();
    if (code == ERROR_PATH_NOT_FOUND) {
        std::optional<Path> parent = ParentDir(dir);
        if (parent && !parent->Empty() && !(parent->Units() == dir.Units())) {
            IoResult<Unit> made = CreateDirAll(*parent);
            if (!made) return made;
            if (CreateDirectoryW(W(text.value()), nullptr)) return Unit{};
            code = GetLastError();
        }
    }
    if (code == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(W(text.value()));
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Unit{};
        }
    }
    return IoError::FromOsCode(static_cast<int32_t>(code));
}

Path TempDir() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) return Path();
        if (length < buffer.size()) return PathFromWide(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

}  // namespace upkit
