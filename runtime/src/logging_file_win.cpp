// The log file on Windows: one appending handle that other processes may read, write, rename and
// delete while it is held, so that several instances of the game can share one log.
#include <windows.h>

#include "logging_file.h"
#include "misc.h"

namespace upkit {

namespace {

const wchar_t* W(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

class Win32LogFileBackend : public LogFileBackend {
public:
    ~Win32LogFileBackend() override { Close(); }

    void CreateParentDirs(const Path& file) override {
        if (std::optional<Path> parent = ParentDir(file)) (void)CreateDirAll(*parent);
    }

    std::optional<uint64_t> FileSize(const Path& file) override {
        IoResult<std::u16string> text = OsPathText(file);
        if (!text) return std::nullopt;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(W(text.value()), GetFileExInfoStandard, &data)) {
            return std::nullopt;
        }
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    bool Open(const Path& file) override {
        IoResult<std::u16string> text = OsPathText(file);
        if (!text) return false;
        // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the
        // file, even when another process has appended since.
        const HANDLE handle = CreateFileW(W(text.value()), FILE_APPEND_DATA | GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        Close();
        handle_ = handle;
        return true;
    }

    void Close() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

    WriteOutcome Write(std::string_view bytes) override {
        const DWORD size = bytes.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data(), size, &written, nullptr)) {
            return {WriteOutcome::Failed, 0};
        }
        return {WriteOutcome::Written, written};
    }

    bool RenameReplacing(const Path& from, const Path& to) override {
        IoResult<std::u16string> fromText = OsPathText(from);
        IoResult<std::u16string> toText = OsPathText(to);
        if (!fromText || !toText) return false;
        return MoveFileExW(W(fromText.value()), W(toText.value()), MOVEFILE_REPLACE_EXISTING) != 0;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

int64_t FileTimeSeconds(const FILETIME& t) {
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    return ticks / 10000000;
}

}  // namespace

std::unique_ptr<LogFileBackend> MakePlatformLogFileBackend() {
    return std::make_unique<Win32LogFileBackend>();
}

std::optional<int64_t> PlatformLocalOffsetSeconds() {
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    SYSTEMTIME local;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return std::nullopt;
    FILETIME utcFile;
    FILETIME localFile;
    if (!SystemTimeToFileTime(&utc, &utcFile) || !SystemTimeToFileTime(&local, &localFile)) {
        return std::nullopt;
    }
    return FileTimeSeconds(localFile) - FileTimeSeconds(utcFile);
}

uint32_t CurrentProcessId() {
    return GetCurrentProcessId();
}

}  // namespace upkit
