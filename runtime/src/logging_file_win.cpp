// The log file on Windows: one appending handle that other processes may read, write, rename and
// delete while it is held, so that several instances of the game can share one log.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "logging_file.h"
#include "misc.h"

namespace upkit {

namespace {

const wchar_t* W(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether two handles refer to the same file: the same volume and the same file index.
bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x;
    BY_HANDLE_FILE_INFORMATION y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// Renames the file behind the handle (opened with DELETE access), replacing `to`.
bool RenameByHandle(HANDLE file, const std::u16string& to) {
    const size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, to.c_str(), nameBytes + sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

// The name of the memory that the writers of one log file share, from the file's path: the same
// path text in every process of one user, whatever its length (a name may not hold "\\" and is
// limited in length, so the path goes in hashed, FNV-1a over its upper-cased units).
std::wstring WritersTurnName(const std::u16string& path) {
    uint64_t hash = 14695981039346656037u;
    for (char16_t unit : path) {
        const char16_t upper = unit >= u'a' && unit <= u'z' ? unit - u'a' + u'A' : unit;
        hash = (hash ^ static_cast<uint64_t>(upper)) * 1099511628211u;
    }
    std::wstring name = L"Local\\upkit-log-";
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    return name;
}

// A holder lets go of the turn within one write. One that keeps the same turn this long has
// ended or stopped mid-line (suspended in a debugger, say), and its turn is taken over; and no
// line waits longer than kGiveUpMs for turns taken by others, however many there are.
constexpr ULONGLONG kStuckMs = 100;
constexpr ULONGLONG kGiveUpMs = 500;

// The turn the writers of one log file take across processes: one 64-bit word in named shared
// memory, 0 when free, else the token of the writer that holds it. Taking and giving it back are
// single atomic exchanges with no system call: a kernel object would cost a server round trip per
// line under Wine (75 us there, against 3.5 us for the write itself).
class WritersTurn {
public:
    WritersTurn() : token_(NewToken()) {}
    ~WritersTurn() {
        if (word_ != nullptr) UnmapViewOfFile(const_cast<LONG64*>(word_));
        if (mapping_ != nullptr) CloseHandle(mapping_);
    }
    WritersTurn(const WritersTurn&) = delete;
    WritersTurn& operator=(const WritersTurn&) = delete;

    // False when there is no shared word or others held the turn too long: the line goes alone.
    bool Take(const Path& file) {
        if (!Attach(file)) return false;
        LONG64 seen = InterlockedCompareExchange64(word_, token_, 0);
        if (seen == 0) return true;
        const ULONGLONG start = GetTickCount64();
        ULONGLONG since = start;
        for (unsigned spins = 0;; ++spins) {
            if (spins < 64) {
                YieldProcessor();
            } else {
                Sleep(0);
            }
            const LONG64 holder = InterlockedCompareExchange64(word_, token_, 0);
            if (holder == 0) return true;
            const ULONGLONG now = GetTickCount64();
            if (holder != seen) {
                seen = holder;
                since = now;
            } else if (now - since >= kStuckMs &&
                       InterlockedCompareExchange64(word_, token_, seen) == seen) {
                return true;  // taken over from a holder that never let go
            }
            if (now - start >= kGiveUpMs) return false;
        }
    }

    // Gives the turn back, unless another writer has taken it over meanwhile.
    void Give() { InterlockedCompareExchange64(word_, 0, token_); }

private:
    // This process's id and a count of its writers: distinct for every writer on the machine.
    static LONG64 NewToken() {
        static std::atomic<uint32_t> writers{0};
        return static_cast<LONG64>((static_cast<uint64_t>(GetCurrentProcessId()) << 32) |
                                   (writers.fetch_add(1) + 1));
    }

    bool Attach(const Path& file) {
        if (word_ != nullptr) return true;
        if (unavailable_) return false;
        mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(LONG64), WritersTurnName(file.Units()).c_str());
        void* view =
            mapping_ ? MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG64)) : nullptr;
        if (view == nullptr) {
            unavailable_ = true;
            return false;
        }
        word_ = static_cast<volatile LONG64*>(view);  // zero when first created
        return true;
    }

    const LONG64 token_;
    HANDLE mapping_ = nullptr;
    volatile LONG64* word_ = nullptr;
    bool unavailable_ = false;
};

class Win32LogFileBackend : public LogFileBackend {
public:
    ~Win32LogFileBackend() override { Close(); }

    bool LockWriters(const Path& file) override { return turn_.Take(file); }
    void UnlockWriters() override { turn_.Give(); }

    void CreateParentDirs(const Path& file) override {
        if (std::optional<Path> parent = ParentDir(file)) {
            (void)CreateDirAll(SystemFileSystem(), *parent);
        }
    }

    bool Open(const Path& file) override {
        IoResult<std::u16string> text = SystemPathText(file);
        if (!text) return false;
        // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the
        // file, even when another process has appended since. No DELETE access: a log viewer
        // that shares reading and writing but not deletion must not keep the log closed.
        const HANDLE handle =
            CreateFileW(W(text.value()), FILE_APPEND_DATA | GENERIC_READ, kShareAll, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

    std::optional<uint64_t> OpenFileSize() override {
        LARGE_INTEGER size;
        if (handle_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle_, &size)) return std::nullopt;
        return static_cast<uint64_t>(size.QuadPart);
    }

    WriteOutcome Write(std::string_view bytes) override {
        const DWORD size = bytes.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data(), size, &written, nullptr)) {
            return {WriteOutcome::Failed, 0};
        }
        return {WriteOutcome::Written, written};
    }

    RenameOutcome RenameOpenFile(const Path& from, const Path& to) override {
        IoResult<std::u16string> fromText = SystemPathText(from);
        IoResult<std::u16string> toText = SystemPathText(to);
        if (!fromText || !toText || handle_ == INVALID_HANDLE_VALUE) return RenameOutcome::Failed;
        // A second handle, for the rename, on whatever file is at the path now. The rename goes
        // through that handle, so it moves exactly the file compared here, whatever another
        // process renames meanwhile.
        const HANDLE atPath = CreateFileW(W(fromText.value()), DELETE | FILE_READ_ATTRIBUTES,
                                          kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        if (atPath == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                       ? RenameOutcome::NotTheOpenFile
                       : RenameOutcome::Failed;
        }
        RenameOutcome outcome = RenameOutcome::NotTheOpenFile;
        if (SameFile(atPath, handle_)) {
            outcome = RenameByHandle(atPath, toText.value()) ? RenameOutcome::Renamed
                                                             : RenameOutcome::Failed;
        }
        CloseHandle(atPath);
        return outcome;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    WritersTurn turn_;
};

}  // namespace

std::unique_ptr<LogFileBackend> MakePlatformLogFileBackend() {
    return std::make_unique<Win32LogFileBackend>();
}

}  // namespace upkit
