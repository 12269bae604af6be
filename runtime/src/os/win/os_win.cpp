// The operating-system seam on Windows: the only file of the runtime that includes <windows.h>.
//
// Every call here follows the same rules:
//   - A path reaches the system as SystemPathText gives it; its failure (a NUL in the path) is
//     returned before the system is asked.
//   - A file is opened sharing reading, writing and deletion (kShareAll), never inheritable, so
//     that no other program, the updater included, ever finds it locked by the runtime. The one
//     exception is a copy still being made (NewFileCopy), which is this process's alone.
//   - Every handle is owned by an OwnedHandle and closed on every path.
//   - A failure is the IoError of GetLastError() taken right after the failing call (LastError),
//     or of the HRESULT a shell call returned; nothing is retried or logged here.
#include <windows.h>

#include <psapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "misc.h"
#include "os/os.h"
#include "text.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace upkit {

namespace {

// ---- Helpers ----

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FOLDERID_LocalAppData, spelled out so that no GUID library is needed at link time.
constexpr GUID kFolderLocalAppData = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

const wchar_t* W(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
wchar_t* W(std::u16string& text) {
    return reinterpret_cast<wchar_t*>(text.data());
}
std::u16string U16(const wchar_t* text, size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

IoError LastError() {
    return IoError::FromOsCode(static_cast<int32_t>(GetLastError()));
}

// A handle closed when it goes away.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const { return handle_; }
    void Reset() {
        if (Valid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Opens a file or directory with the given access, shared with everyone.
IoResult<OwnedHandle> OpenShared(const Path& path, DWORD access, DWORD disposition,
                                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    IoResult<std::u16string> text = SystemPathText(path);
    if (!text) return text.take_error();
    OwnedHandle handle(
        CreateFileW(W(text.value()), access, kShareAll, nullptr, disposition, flags, nullptr));
    if (!handle.Valid()) return LastError();
    return handle;
}

// A call that takes one path and answers BOOL.
template <class Call>
IoResult<Unit> WithPath(const Path& path, Call&& call) {
    IoResult<std::u16string> text = SystemPathText(path);
    if (!text) return text.take_error();
    if (!call(W(text.value()))) return LastError();
    return Unit{};
}

std::optional<DWORD> Attributes(const Path& path) {
    IoResult<std::u16string> text = SystemPathText(path);
    if (!text) return std::nullopt;
    const DWORD attributes = GetFileAttributesW(W(text.value()));
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return attributes;
}

// ---- Files ----

// The open file, read by offset only.
class HandleFile final : public RandomAccessFile {
public:
    explicit HandleFile(OwnedHandle handle) : handle_(std::move(handle)) {}

    IoResult<uint64_t> Size() override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle_.Get(), &size)) return LastError();
        return static_cast<uint64_t>(size.QuadPart);
    }

    IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        // A synchronous handle reads at the offset given in the OVERLAPPED block.
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        const DWORD wanted = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        if (!ReadFile(handle_.Get(), buffer, wanted, &read, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) return size_t{0};
            return LastError();
        }
        return static_cast<size_t>(read);
    }

private:
    OwnedHandle handle_;
};

// Whether two handles refer to the same file: the same volume and the same file index.
bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x;
    BY_HANDLE_FILE_INFORMATION y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// Renames the file behind the handle (opened with DELETE access); with `replace`, over a file
// of that name, else a taken name fails (ERROR_ALREADY_EXISTS).
bool RenameByHandle(HANDLE file, const std::u16string& to, bool replace) {
    const size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, to.c_str(), nameBytes + sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

// Marks the file behind the handle (opened with DELETE access) for deletion when it is closed.
bool DeleteByHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Sets the attributes of the file behind the handle (opened with FILE_WRITE_ATTRIBUTES); the
// times stay as they are (zero means unchanged).
bool SetAttributesByHandle(HANDLE file, DWORD attributes) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Copies every byte from one handle's position on to the other's.
IoResult<Unit> CopyBytes(HANDLE from, HANDLE to) {
    std::vector<unsigned char> buffer(size_t{1} << 20);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            return LastError();
        }
        if (read == 0) return Unit{};
        for (DWORD done = 0; done < read;) {
            DWORD written = 0;
            if (!WriteFile(to, buffer.data() + done, read - done, &written, nullptr)) {
                return LastError();
            }
            if (written == 0) return IoError::FromOsCode(ERROR_WRITE_FAULT);
            done += written;
        }
    }
}

// A copy being made: open for writing and deletion, shared for reading only. It takes its name
// through this same handle, so it is never closed before it has one: a partial copy that was
// closed could be mistaken for an abandoned one, or be held by a scanner at the wrong moment.
class NewFileCopy final : public UnpublishedFile {
public:
    explicit NewFileCopy(OwnedHandle handle) : handle_(std::move(handle)) {}
    ~NewFileCopy() override {
        if (!published_) (void)DeleteByHandle(handle_.Get());
    }
    NewFileCopy(const NewFileCopy&) = delete;
    NewFileCopy& operator=(const NewFileCopy&) = delete;

    HANDLE Handle() const { return handle_.Get(); }

    IoResult<Unit> Flush() override {
        if (!FlushFileBuffers(handle_.Get())) return LastError();
        return Unit{};
    }

    IoResult<Unit> Publish(const Path& to) override {
        IoResult<std::u16string> target = SystemPathText(to);
        if (!target) return target.take_error();
        if (!RenameByHandle(handle_.Get(), target.value(), /*replace=*/false)) return LastError();
        published_ = true;
        return Unit{};
    }

private:
    OwnedHandle handle_;
    bool published_ = false;
};

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the file,
// even when another process has appended since. No DELETE access: a log viewer that shares
// reading and writing but not deletion must not keep the file closed to the runtime.
class HandleAppendFile final : public AppendFile {
public:
    explicit HandleAppendFile(OwnedHandle handle) : handle_(std::move(handle)) {}

    std::optional<uint64_t> Size() override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle_.Get(), &size)) return std::nullopt;
        return static_cast<uint64_t>(size.QuadPart);
    }

    WriteOutcome Write(std::string_view bytes) override {
        const DWORD size = bytes.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(handle_.Get(), bytes.data(), size, &written, nullptr)) {
            return {WriteOutcome::Failed, 0};
        }
        return {WriteOutcome::Written, written};
    }

    RenameOutcome RenameIfAt(const Path& from, const Path& to) override {
        IoResult<std::u16string> target = SystemPathText(to);
        if (!target) return RenameOutcome::Failed;
        // A second handle, for the rename, on whatever file is at the path now. The rename goes
        // through that handle, so it moves exactly the file compared here, whatever another
        // process renames meanwhile.
        IoResult<OwnedHandle> atPath =
            OpenShared(from, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING, 0);
        if (!atPath) {
            return atPath.error().Kind() == IoErrorKind::NotFound ? RenameOutcome::NotTheOpenFile
                                                                  : RenameOutcome::Failed;
        }
        if (!SameFile(atPath->Get(), handle_.Get())) return RenameOutcome::NotTheOpenFile;
        return RenameByHandle(atPath->Get(), target.value(), /*replace=*/true)
                   ? RenameOutcome::Renamed
                   : RenameOutcome::Failed;
    }

private:
    OwnedHandle handle_;
};

// The name of the memory that the writers of one log file share, from the file's path: the same
// path text in every process of one user, whatever its length (a name may not hold "\" and is
// limited in length, so the path goes in hashed, FNV-1a over its upper-cased units).
std::wstring TurnsName(const std::u16string& path) {
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

// One 64-bit word in named shared memory, 0 when free, else the token of the writer that holds
// the turn. Taking and giving it back are single atomic exchanges with no system call: a kernel
// object would cost a server round trip per line under Wine (75 us there, against 3.5 us for the
// write itself).
class SharedWordTurns final : public WriterTurns {
public:
    explicit SharedWordTurns(const Path& file) : token_(NewToken()) {
        mapping_ = OwnedHandle(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  sizeof(LONG64), TurnsName(file.Units()).c_str()));
        if (!mapping_.Valid()) return;
        void* view = MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG64));
        word_ = static_cast<volatile LONG64*>(view);  // zero when first created
    }
    ~SharedWordTurns() override {
        if (word_ != nullptr) UnmapViewOfFile(const_cast<LONG64*>(word_));
    }

    bool Take() override {
        if (word_ == nullptr) return false;
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
    void Give() override {
        if (word_ != nullptr) InterlockedCompareExchange64(word_, 0, token_);
    }

private:
    // This process's id and a count of its writers: distinct for every writer on the machine.
    static LONG64 NewToken() {
        static std::atomic<uint32_t> writers{0};
        return static_cast<LONG64>((static_cast<uint64_t>(GetCurrentProcessId()) << 32) |
                                   (writers.fetch_add(1) + 1));
    }

    const LONG64 token_;
    OwnedHandle mapping_;
    volatile LONG64* word_ = nullptr;
};

class WindowsFileSystem final : public FileSystem {
public:
    bool Exists(const Path& path) override {
        const std::optional<DWORD> attributes = Attributes(path);
        if (!attributes) return false;
        if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
        // A link: it exists only if its target does. Opening without access rights follows it.
        return OpenShared(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS).ok();
    }

    bool IsDirectory(const Path& path) override {
        const std::optional<DWORD> attributes = Attributes(path);
        return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    IoResult<Unit> ProbeNewFile(const Path& file) override {
        // Delete-on-close: the only handle to the probe removes it, so no probe file is left
        // behind however the process ends.
        IoResult<OwnedHandle> probe =
            OpenShared(file, GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE);
        if (!probe) return probe.take_error();
        return Unit{};
    }

    IoResult<Unit> CreateOneDirectory(const Path& dir) override {
        return WithPath(dir, [](const wchar_t* text) { return CreateDirectoryW(text, nullptr); });
    }

    IoResult<std::unique_ptr<UnpublishedFile>> CopyToNewFile(const Path& from,
                                                             const Path& to) override {
        IoResult<OwnedHandle> source =
            OpenShared(from, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
        if (!source) return source.take_error();
        IoResult<std::u16string> target = SystemPathText(to);
        if (!target) return target.take_error();
        // CREATE_NEW with normal attributes: never a file someone else made, and never the
        // source's read-only attribute, which would keep the copy from being flushed or deleted.
        // Deletion is not shared, so no other start's tidying can take the file away meanwhile.
        OwnedHandle file(CreateFileW(W(target.value()), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                     nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) return LastError();
        auto copy = std::make_unique<NewFileCopy>(std::move(file));
        if (IoResult<Unit> copied = CopyBytes(source->Get(), copy->Handle()); !copied) {
            return copied.take_error();  // the unpublished copy deletes itself
        }
        return std::unique_ptr<UnpublishedFile>(std::move(copy));
    }

    IoResult<Unit> RemoveFile(const Path& file) override {
        return WithPath(file, [](const wchar_t* text) { return DeleteFileW(text); });
    }

    IoResult<Unit> RemoveFileEvenReadOnly(const Path& file) override {
        // Everything through one handle, opened sharing everything but asking for deletion: a
        // file held without delete sharing refuses the open itself, before anything changes.
        IoResult<OwnedHandle> handle =
            OpenShared(file, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT);
        if (!handle) return handle.take_error();
        FILE_BASIC_INFO basic = {};
        if (!GetFileInformationByHandleEx(handle->Get(), FileBasicInfo, &basic, sizeof basic)) {
            return LastError();
        }
        const DWORD attributes = basic.FileAttributes;
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            if (!SetAttributesByHandle(handle->Get(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
                return LastError();
            }
        }
        if (DeleteByHandle(handle->Get())) return Unit{};
        const IoError refused = LastError();
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            (void)SetAttributesByHandle(handle->Get(), attributes);
        }
        return refused;
    }

    IoResult<std::vector<DirectoryEntry>> List(const Path& dir) override {
        // Only the appended "*" is a wildcard: the directory's own text ("[", "]" and all) is
        // taken literally by the system.
        IoResult<std::u16string> pattern = SystemPathText(JoinPath(dir, std::u16string_view(u"*")));
        if (!pattern) return pattern.take_error();
        WIN32_FIND_DATAW found;
        const HANDLE find =
            FindFirstFileExW(W(pattern.value()), FindExInfoBasic, &found, FindExSearchNameMatch,
                             nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (find == INVALID_HANDLE_VALUE) return LastError();
        std::vector<DirectoryEntry> entries;
        do {
            entries.push_back(
                DirectoryEntry{U16(found.cFileName, wcslen(found.cFileName)),
                               (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        } while (FindNextFileW(find, &found));
        FindClose(find);
        return entries;
    }

    IoResult<uint64_t> FileSize(const Path& file) override {
        IoResult<std::u16string> text = SystemPathText(file);
        if (!text) return text.take_error();
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(W(text.value()), GetFileExInfoStandard, &data)) {
            return LastError();
        }
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    IoResult<std::unique_ptr<RandomAccessFile>> OpenForReading(const Path& file) override {
        IoResult<OwnedHandle> handle = OpenShared(file, GENERIC_READ, OPEN_EXISTING);
        if (!handle) return handle.take_error();
        return std::unique_ptr<RandomAccessFile>(new HandleFile(std::move(handle.value())));
    }

    IoResult<std::unique_ptr<AppendFile>> OpenForAppending(const Path& file) override {
        IoResult<OwnedHandle> handle =
            OpenShared(file, FILE_APPEND_DATA | GENERIC_READ, OPEN_ALWAYS);
        if (!handle) return handle.take_error();
        return std::unique_ptr<AppendFile>(new HandleAppendFile(std::move(handle.value())));
    }

    std::unique_ptr<WriterTurns> TurnsFor(const Path& file) override {
        return std::make_unique<SharedWordTurns>(file);
    }

    IoResult<Path> LocalAppDataDir() override {
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
        Path path(U16(text, wcslen(text)));
        CoTaskMemFree(text);
        return path;
    }

    Path TempDir() override {
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        for (;;) {
            const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
            if (length == 0) return Path();
            if (length < buffer.size()) return Path(U16(buffer.data(), length));
            buffer.resize(length + 1);
        }
    }

    IoResult<Path> CurrentExePath() override {
        constexpr uint64_t kLargest = 0xFFFFFFFFu;
        std::vector<wchar_t> buffer(512);
        for (;;) {
            SetLastError(ERROR_SUCCESS);
            const DWORD size = static_cast<DWORD>(buffer.size());
            const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
            if (length == 0 && GetLastError() != ERROR_SUCCESS) return LastError();
            if (length < size) return Path(U16(buffer.data(), length));
            // The path was cut to the buffer's size.
            if (buffer.size() >= kLargest) return IoError::FromOsCode(ERROR_INSUFFICIENT_BUFFER);
            const uint64_t grown = static_cast<uint64_t>(buffer.size()) * 2;
            buffer.resize(static_cast<size_t>(grown < kLargest ? grown : kLargest));
        }
    }
};

// ---- Errors ----

bool FormatSystemMessage(DWORD code, DWORD language, std::string& out) {
    wchar_t buffer[2048] = {};
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language, buffer,
        static_cast<DWORD>(sizeof(buffer) / sizeof(buffer[0])), nullptr);
    if (length == 0) return false;
    std::u16string_view text(reinterpret_cast<const char16_t*>(buffer), length);
    // System messages end in a line break (and sometimes a blank) meant for consoles.
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ' ||
                             text.back() == u'\t')) {
        text.remove_suffix(1);
    }
    out = Utf16ToUtf8Lossy(text);
    return true;
}

bool FormatInEnglishOrNeutral(DWORD code, std::string& out) {
    return FormatSystemMessage(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), out) ||
           FormatSystemMessage(code, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), out);
}

// ---- Threads ----

using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

// GetThreadDescription, which exists from Windows 10 1607 on: looked up, so that older systems
// still run. The lookup takes the loader lock, so it is made once, before any fault can need it
// (when a fault scope begins), never while a fault is dealt with.
GetThreadDescriptionFn ThreadDescriptionFunction() {
    static const GetThreadDescriptionFn fn = [] {
        const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        return kernel ? reinterpret_cast<GetThreadDescriptionFn>(
                            reinterpret_cast<void*>(GetProcAddress(kernel, "GetThreadDescription")))
                      : nullptr;
    }();
    return fn;
}

// The thread's name (its description), or nothing when it has none.
std::optional<std::string> ThreadName(HANDLE thread) {
    const GetThreadDescriptionFn fn = ThreadDescriptionFunction();
    if (fn == nullptr) return std::nullopt;
    PWSTR name = nullptr;
    if (FAILED(fn(thread, &name)) || name == nullptr) return std::nullopt;
    const std::u16string units = U16(name, wcslen(name));
    LocalFree(name);
    if (units.empty()) return std::nullopt;
    return Utf16ToUtf8Lossy(units);
}

// ---- Time ----

int64_t FileTimeSeconds(const FILETIME& t) {
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    return ticks / 10000000;
}

void SleepMilliseconds(uint64_t ms) {
    while (ms >= INFINITE) {
        Sleep(INFINITE - 1);
        ms -= INFINITE - 1;
    }
    Sleep(static_cast<DWORD>(ms));
}

bool WaitOnHighResolutionTimer(std::chrono::nanoseconds duration) {
    const OwnedHandle timer(CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
    if (!timer.Valid()) return false;
    // A negative due time is relative, in 100 ns units; a partial unit counts as a whole one.
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>((duration.count() + 99) / 100);
    return SetWaitableTimer(timer.Get(), &due, 0, nullptr, nullptr, FALSE) &&
           WaitForSingleObject(timer.Get(), INFINITE) == WAIT_OBJECT_0;
}

}  // namespace

// ---- Operating-system error codes ----

IoErrorKind IoErrorKindFromOsCode(int32_t code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return IoErrorKind::NotFound;
        case ERROR_ACCESS_DENIED:
            return IoErrorKind::PermissionDenied;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return IoErrorKind::AlreadyExists;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME:
            return IoErrorKind::InvalidInput;
        case ERROR_INVALID_DATA:
            return IoErrorKind::InvalidData;
        case ERROR_HANDLE_EOF:
            return IoErrorKind::UnexpectedEof;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return IoErrorKind::OutOfMemory;
        case ERROR_NOT_SUPPORTED:
            return IoErrorKind::Unsupported;
        default:
            return IoErrorKind::Uncategorized;
    }
}

std::string SystemErrorMessage(int32_t code) {
    const DWORD raw = static_cast<DWORD>(code);
    std::string message;
    if (FormatInEnglishOrNeutral(raw, message)) return message;
    // An HRESULT wrapping a Win32 error carries the same meaning as the plain code; not every
    // system's message table lists the wrapped form.
    if ((raw & 0xFFFF0000u) == 0x80070000u && FormatInEnglishOrNeutral(raw & 0xFFFFu, message)) {
        return message;
    }
    return "Unknown error " + std::to_string(code);
}

// ---- Files ----

FileSystem& SystemFileSystem() {
    static WindowsFileSystem* system = new WindowsFileSystem();
    return *system;
}

// ---- The process ----

std::u16string ProcessCommandLine() {
    const wchar_t* line = GetCommandLineW();
    if (line == nullptr) return {};
    return U16(line, wcslen(line));
}

std::optional<std::u16string> ReadEnvVar(const char16_t* name) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(name),
                                                buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::u16string();  // present and empty
        }
        if (n < buffer.size()) return U16(buffer.data(), n);
        buffer.resize(n);
    }
}

void RemoveEnvVar(const char16_t* name) {
    SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(name), nullptr);
}

std::u16string EnvironmentBlock() {
    // Copied whole, terminating empty entry included; the system's block is released before
    // anything is built from the copy.
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) return {};
    const wchar_t* end = block;
    while (*end != L'\0') end += wcslen(end) + 1;
    std::u16string copy = U16(block, static_cast<size_t>(end - block) + 1);
    FreeEnvironmentStringsW(block);
    return copy;
}

uint32_t CurrentProcessId() {
    return GetCurrentProcessId();
}

std::optional<std::string> CurrentThreadName() {
    return ThreadName(GetCurrentThread());
}

std::optional<int64_t> LocalUtcOffsetSeconds() {
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

void SleepFor(std::chrono::nanoseconds duration) {
    if (duration <= std::chrono::nanoseconds::zero()) {
        Sleep(0);
        return;
    }
    if (WaitOnHighResolutionTimer(duration)) return;
    const uint64_t ms = (static_cast<uint64_t>(duration.count()) + 999999) / 1000000;
    SleepMilliseconds(ms);
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

// ---- Hardware faults ----

namespace {

// Room that Windows leaves on the start-up thread's stack once it has overflowed: enough to hand
// the fault over and wait. Once raised, a thread's guarantee cannot be lowered again, so the
// engine's thread keeps it.
constexpr ULONG kStackGuaranteeBytes = 16 * 1024;
// How long a faulting thread waits for the fault to be dealt with before it ends the process
// itself (the record is then lost): the thread that deals with it may block on a lock that the
// faulting thread holds, such as the heap's.
constexpr DWORD kFaultDealingMs = 5000;

// The code libgcc raises for a C++ throw, in the form its unwinder uses.
constexpr DWORD kGccThrowMask = 0x20FFFFFF;
constexpr DWORD kGccThrowCode = ('G' << 16) | ('C' << 8) | 'C' | (1u << 29);

// A C++ throw of Microsoft's runtime ("\xE0msc"): on x64 its four parameters are a magic
// number, the thrown object, the thrown type's description (a _ThrowInfo) and the image base of
// the module that threw, which holds that description.
constexpr DWORD kMsvcThrowCode = 0xE06D7363;
constexpr DWORD kMsvcThrowParameters = 4;

// The thread that faulted first; 0 until one has.
std::atomic<DWORD> g_faultingThread{0};
// What is known of that fault, kept here rather than on a stack that may be exhausted.
EXCEPTION_RECORD g_faultRecord;
wchar_t g_faultModulePath[32768];
// Set by the faulting thread once the record is copied: wakes one thread that deals with faults.
// Made with the first scope, kept for the life of the process.
std::atomic<HANDLE> g_faultArrived{nullptr};

HANDLE FaultArrivedEvent() {
    if (HANDLE made = g_faultArrived.load()) return made;
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (fresh == nullptr) return nullptr;
    HANDLE none = nullptr;
    if (g_faultArrived.compare_exchange_strong(none, fresh)) return fresh;
    CloseHandle(fresh);  // another scope made it first
    return none;
}

// The file name of the image mapped at an address, and the image's base. Asked of the memory
// manager (VirtualQuery, then the mapped file's name), not of the loader's list of modules, whose
// lock the faulting thread may hold.
std::optional<std::string> ImageAt(uintptr_t address, uintptr_t& base) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) == 0 ||
        region.Type != MEM_IMAGE || region.AllocationBase == nullptr) {
        return std::nullopt;
    }
    constexpr DWORD kChars = sizeof g_faultModulePath / sizeof g_faultModulePath[0];
    const DWORD length = K32GetMappedFileNameW(GetCurrentProcess(), region.AllocationBase,
                                               g_faultModulePath, kChars);
    if (length == 0 || length >= kChars) return std::nullopt;
    // A system path ("\Device\HarddiskVolume3\Games\..."; under Wine "\??\Z:\..."): only its
    // last component, the file's name, is wanted.
    std::optional<std::u16string> name = FileName(Path(U16(g_faultModulePath, length)));
    if (!name) return std::nullopt;
    base = reinterpret_cast<uintptr_t>(region.AllocationBase);
    return Utf16ToUtf8Lossy(*name);
}

// The fault as the handler is given it. For a throw of Microsoft's C++ runtime, the address lies
// in RaiseException, which says nothing: the module named is the one that threw, and the offset
// that of the thrown type's description in it, which that module's symbols name.
HardwareFault DescribeFault(const EXCEPTION_RECORD& record) {
    HardwareFault fault;
    fault.code = record.ExceptionCode;
    const auto address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
    fault.offset = address;
    uintptr_t base = 0;
    if (record.ExceptionCode == kMsvcThrowCode && record.NumberParameters == kMsvcThrowParameters) {
        const uintptr_t throwInfo = record.ExceptionInformation[2];
        if (std::optional<std::string> thrower = ImageAt(record.ExceptionInformation[3], base)) {
            fault.module = std::move(thrower);
            fault.offset = throwInfo >= base ? throwInfo - base : 0;
            return fault;
        }
    }
    if (std::optional<std::string> module = ImageAt(address, base)) {
        fault.module = std::move(module);
        fault.offset = address - base;
    }
    return fault;
}

// What a thread that deals with faults is given when it is made.
struct Dealer {
    HANDLE endOfScope;  // set when its scope ends; the thread closes it
    HardwareFaultHandler handler;
};

[[noreturn]] void DealWithFault(HardwareFaultHandler handler) {
    HardwareFault fault = DescribeFault(g_faultRecord);
    const OwnedHandle faulting(
        OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, g_faultingThread.load()));
    if (faulting.Valid()) fault.threadName = ThreadName(faulting.Get());
    if (handler != nullptr) handler(fault);
    EndProcessAfterFault();
}

// The thread that deals with faults, one for each scope, made when the scope begins: at fault
// time no thread may be created, since a new thread runs every library's thread-attach under the
// loader lock, which the faulting thread may hold (a fault inside a DllMain, a TLS callback,
// LoadLibrary or GetProcAddress). It waits, with a whole stack of its own, for a fault or for the
// end of its scope.
DWORD WINAPI WaitForFault(void* parameter) {
    const Dealer dealer = *static_cast<Dealer*>(parameter);
    delete static_cast<Dealer*>(parameter);
    const HANDLE arrived = g_faultArrived.load();
    const HANDLE events[] = {arrived, dealer.endOfScope};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    // A fault claimed as the scope ended is still this thread's to deal with.
    if (woken == WAIT_OBJECT_0 ||
        (g_faultingThread.load() != 0 &&
         WaitForSingleObject(arrived, kFaultDealingMs) == WAIT_OBJECT_0)) {
        DealWithFault(dealer.handler);
    }
    CloseHandle(dealer.endOfScope);
    return 0;
}

// On the faulting thread, with as little stack as possible and no lock, no allocation and no
// loader call: it claims the fault, copies its record, wakes the thread that deals with it and
// waits to be ended.
[[noreturn]] void HandOverFault(const EXCEPTION_RECORD& record) {
    DWORD none = 0;
    if (!g_faultingThread.compare_exchange_strong(none, GetCurrentThreadId())) {
        // Another thread's fault is being dealt with, or this thread faulted again while handing
        // its first one over: the first one ends the process.
        if (none != GetCurrentThreadId()) Sleep(kFaultDealingMs);
        EndProcessAfterFault();
    }
    g_faultRecord = record;
    SetEvent(g_faultArrived.load());
    Sleep(kFaultDealingMs);
    EndProcessAfterFault();
}

// The process's unhandled-exception filter while the scope lives: every exception that nothing
// handled, but for a continuable C++ throw of libgcc, which goes back to its unwinder as the C
// runtime's own filter would send it (the C++ runtime then calls std::terminate).
LONG WINAPI FilterUnhandledException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if ((record.ExceptionCode & kGccThrowMask) == kGccThrowCode &&
        (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    HandOverFault(record);
}

// A vectored handler sees every exception before any frame's handler does, those about to be
// caught (every C++ throw) included: it acts on a stack overflow alone, and not at all under a
// debugger, which must see the overflow and whichever frame would handle it.
LONG CALLBACK HandleStackOverflow(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW || IsDebuggerPresent()) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    HandOverFault(*info->ExceptionRecord);
}

}  // namespace

struct HardwareFaultScope::Installed {
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
    void* stackOverflowHandler = nullptr;
    HANDLE endOfScope = nullptr;  // the dealing thread's; it closes it
};

HardwareFaultScope::HardwareFaultScope(HardwareFaultHandler handler) {
    // Everything the scope needs is made before anything is installed: when something cannot be
    // made, nothing is installed and faults go where they went before.
    std::unique_ptr<Installed> installed(new (std::nothrow) Installed);
    auto* dealer = new (std::nothrow) Dealer{nullptr, handler};
    const HANDLE arrived = FaultArrivedEvent();
    (void)ThreadDescriptionFunction();
    if (dealer != nullptr && installed != nullptr && arrived != nullptr) {
        dealer->endOfScope = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    if (dealer == nullptr || dealer->endOfScope == nullptr) {
        delete dealer;
        return;
    }
    const HANDLE endOfScope = dealer->endOfScope;
    // Never waited for: the scope may begin while the loader lock is held, and the thread cannot
    // start before it is let go. From here on the thread owns `dealer`.
    const HANDLE thread = CreateThread(nullptr, SIZE_T{256} * 1024, &WaitForFault, dealer,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        CloseHandle(endOfScope);
        delete dealer;
        return;
    }
    CloseHandle(thread);
    installed->endOfScope = endOfScope;
    installed->stackOverflowHandler = AddVectoredExceptionHandler(1, &HandleStackOverflow);
    if (installed->stackOverflowHandler == nullptr) {
        SetEvent(endOfScope);  // the thread ends and closes it
        return;
    }
    ULONG guarantee = kStackGuaranteeBytes;
    SetThreadStackGuarantee(&guarantee);
    installed->previousFilter = SetUnhandledExceptionFilter(&FilterUnhandledException);
    installed_ = std::move(installed);
}

HardwareFaultScope::~HardwareFaultScope() {
    if (!installed_) return;
    RemoveVectoredExceptionHandler(installed_->stackOverflowHandler);
    // Only the runtime's own filter is replaced: one that a library loaded during the start-up
    // installed meanwhile stays.
    const LPTOP_LEVEL_EXCEPTION_FILTER current =
        SetUnhandledExceptionFilter(installed_->previousFilter);
    if (current != &FilterUnhandledException) SetUnhandledExceptionFilter(current);
    // Another thread's fault is being dealt with: the process is about to end, and must not go on
    // to load the engine meanwhile.
    const DWORD faulting = g_faultingThread.load();
    if (faulting != 0 && faulting != GetCurrentThreadId()) {
        for (;;) Sleep(INFINITE);
    }
    // Told to end, never joined: its end runs the libraries' thread-detach under the loader lock.
    SetEvent(installed_->endOfScope);
}

IoResult<Unit> StartProcess(std::u16string commandLine,
                            const std::optional<std::u16string>& environment,
                            const std::optional<std::u16string>& workingDir) {
    // Only the size is set: no window settings and no standard handles for the program.
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);
    std::optional<std::u16string> block = environment;
    constexpr DWORD kFlags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    static_assert(kFlags == kStartProcessFlags);
    if (!CreateProcessW(nullptr, W(commandLine), nullptr, nullptr, FALSE, kFlags,
                        block ? static_cast<void*>(block->data()) : nullptr,
                        workingDir ? W(*workingDir) : nullptr, &startup, &info)) {
        return LastError();
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return Unit{};
}

// ---- The shell ----

void SetProcessAppUserModelId(const std::u16string& terminatedIdentity) {
    SetCurrentProcessExplicitAppUserModelID(W(terminatedIdentity));
}

std::optional<std::u16string> ProcessAppUserModelId() {
    PWSTR id = nullptr;
    if (FAILED(GetCurrentProcessExplicitAppUserModelID(&id)) || id == nullptr) return std::nullopt;
    std::u16string units = U16(id, wcslen(id));
    CoTaskMemFree(id);
    return units;
}

}  // namespace upkit
