// Native stand-in for opening a package file, so the bundle reader runs on real files in host
// tests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "bundle.h"
#include "logging.h"
#include "misc.h"
#include "text.h"

namespace upkit {

namespace {

class DescriptorFile final : public RandomAccessFile {
public:
    explicit DescriptorFile(int fd) : fd_(fd) {}
    ~DescriptorFile() override { close(fd_); }
    DescriptorFile(const DescriptorFile&) = delete;
    DescriptorFile& operator=(const DescriptorFile&) = delete;

    IoResult<uint64_t> Size() override {
        struct stat info;
        if (fstat(fd_, &info) != 0) return IoError::FromOsCode(errno);
        return static_cast<uint64_t>(info.st_size);
    }

    IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        for (;;) {
            const ssize_t n = pread(fd_, buffer, length, static_cast<off_t>(offset));
            if (n >= 0) return static_cast<size_t>(n);
            if (errno != EINTR) return IoError::FromOsCode(errno);
        }
    }

private:
    int fd_;
};

IoResult<int> OpenForReading(const Path& path) {
    IoResult<std::u16string> text = SystemPathText(path);
    if (!text.ok()) return text.error();
    const int fd = open(Utf16ToWtf8(*text).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return IoError::FromOsCode(errno);
    return fd;
}

}  // namespace

Result<PackageBundle> LoadBundleFromFile(const Path& path) {
    UPKIT_DEBUG("upkit::bundle", "Loading bundle from file '" + PathDebug(path) + "'...");
    auto opened = RetryFileOperation([&] { return OpenForReading(path); });
    if (!opened.ok()) return RuntimeError::Io(std::move(opened.error()));
    return OpenBundle(std::make_unique<DescriptorFile>(opened.value()));
}

}  // namespace upkit
