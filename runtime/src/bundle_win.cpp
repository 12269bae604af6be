// Opening a package file on Windows and handing it to the archive reader.
#include <windows.h>

#include <string>

#include "bundle.h"
#include "logging.h"
#include "misc.h"

namespace upkit {

namespace {

// The open file, read by offset only; closed when the archive reader lets go of it.
class HandleFile final : public RandomAccessFile {
public:
    explicit HandleFile(HANDLE handle) : handle_(handle) {}
    ~HandleFile() override { CloseHandle(handle_); }
    HandleFile(const HandleFile&) = delete;
    HandleFile& operator=(const HandleFile&) = delete;

    IoResult<uint64_t> Size() override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle_, &size)) return LastError();
        return static_cast<uint64_t>(size.QuadPart);
    }

    IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        // A synchronous handle reads at the offset given in the OVERLAPPED block.
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        const DWORD wanted = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        if (!ReadFile(handle_, buffer, wanted, &read, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) return size_t{0};
            return LastError();
        }
        return static_cast<size_t>(read);
    }

private:
    static IoError LastError() { return IoError::FromOsCode(static_cast<int32_t>(GetLastError())); }
    HANDLE handle_;
};

IoResult<HANDLE> OpenForReading(const Path& path) {
    IoResult<std::u16string> text = SystemPathText(path);
    if (!text.ok()) return text.error();
    // Others may go on reading, writing, renaming and deleting the file while it is open: the
    // runtime must never stand in the way of the updater.
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(text->c_str()), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return IoError::FromOsCode(static_cast<int32_t>(GetLastError()));
    }
    return handle;
}

}  // namespace

Result<PackageBundle> LoadBundleFromFile(const Path& path) {
    UPKIT_DEBUG("upkit::bundle", "Loading bundle from file '" + PathDebug(path) + "'...");
    auto opened = RetryFileOperation([&] { return OpenForReading(path); });
    if (!opened.ok()) return RuntimeError::Io(std::move(opened.error()));
    // Reading the archive's directory is not retried: a damaged archive stays damaged.
    return OpenBundle(std::make_unique<HandleFile>(opened.value()));
}

}  // namespace upkit
