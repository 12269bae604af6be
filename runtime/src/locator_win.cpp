// The locator's file-system services on Windows.
#include <windows.h>

#include <algorithm>

#include "locator.h"
#include "misc.h"

namespace upkit {

namespace {

const wchar_t* W(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

IoError LastOsError() {
    return IoError::FromOsCode(static_cast<int32_t>(GetLastError()));
}

// Reads the file from its start, stopping after maxBytes: a file that keeps growing or claims an
// enormous size costs no more than that.
IoResult<std::string> ReadFileAtMost(const Path& path, size_t maxBytes) {
    IoResult<std::u16string> name = SystemPathText(path);
    if (!name) return name.take_error();
    HANDLE file = CreateFileW(W(name.value()), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastOsError();

    std::string bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        bytes.reserve(static_cast<size_t>(std::min<unsigned long long>(
            static_cast<unsigned long long>(size.QuadPart), maxBytes)));
    }
    constexpr size_t kChunk = 64 * 1024;
    while (bytes.size() < maxBytes) {
        const size_t want = std::min(kChunk, maxBytes - bytes.size());
        const size_t at = bytes.size();
        bytes.resize(at + want);
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + at, static_cast<DWORD>(want), &got, nullptr)) {
            const IoError error = LastOsError();
            CloseHandle(file);
            return error;
        }
        bytes.resize(at + got);
        if (got == 0) break;
    }
    CloseHandle(file);
    return bytes;
}

IoResult<Unit> CopyFileReplacing(const Path& from, const Path& to) {
    IoResult<std::u16string> source = SystemPathText(from);
    if (!source) return source.take_error();
    IoResult<std::u16string> target = SystemPathText(to);
    if (!target) return target.take_error();
    if (!CopyFileExW(W(source.value()), W(target.value()), nullptr, nullptr, nullptr, 0)) {
        return LastOsError();
    }
    return Unit{};
}

IoResult<Unit> RenameNoReplace(const Path& from, const Path& to) {
    IoResult<std::u16string> source = SystemPathText(from);
    if (!source) return source.take_error();
    IoResult<std::u16string> target = SystemPathText(to);
    if (!target) return target.take_error();
    // Without MOVEFILE_REPLACE_EXISTING: a taken name fails with ERROR_ALREADY_EXISTS.
    if (!MoveFileExW(W(source.value()), W(target.value()), 0)) return LastOsError();
    return Unit{};
}

void DeleteIgnoringFailure(const Path& path) {
    if (IoResult<std::u16string> name = SystemPathText(path)) DeleteFileW(W(name.value()));
}

IoResult<std::string> ReadManifestText(const Path& path) {
    return RetryFileOperation([&path]() -> IoResult<std::string> {
        IoResult<std::string> bytes = ReadFileAtMost(path, kMaxManifestBytes + 1);
        if (!bytes) return bytes.take_error();
        return ManifestTextFromBytes(std::move(bytes.value()));
    });
}

}  // namespace

const LocatorFs& SystemLocatorFs() {
    static const LocatorFs* fs = new LocatorFs{
        [](const Path& path) { return PathExists(path); },
        [](const Path& dir) { return CanWriteToDirectory(dir); },
        [] { return LocalAppDataDir(); },
        [] { return CurrentExePath(); },
        ReadManifestText,
        [](const Path& dir) { return CreateDirAll(dir); },
        CopyFileReplacing,
        RenameNoReplace,
        DeleteIgnoringFailure,
    };
    return *fs;
}

}  // namespace upkit
