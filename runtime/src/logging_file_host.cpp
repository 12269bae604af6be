// The log file in the native build: the same rules on POSIX calls, so the start-up runs there too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>

#include "logging_file.h"
#include "text.h"

namespace upkit {

namespace {

std::string Native(const Path& path) {
    return Utf16ToWtf8(path.Units());
}

class PosixLogFileBackend : public LogFileBackend {
public:
    ~PosixLogFileBackend() override { Close(); }

    // Appends to a descriptor opened with O_APPEND are atomic, whole writes each: no turns needed.
    bool LockWriters(const Path&) override { return false; }
    void UnlockWriters() override {}

    void CreateParentDirs(const Path& file) override {
        if (std::optional<Path> parent = ParentDir(file); parent && !parent->Empty()) {
            std::error_code ignored;
            std::filesystem::create_directories(Native(*parent), ignored);
        }
    }

    bool Open(const Path& file) override {
        const int fd = open(Native(file).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        Close();
        fd_ = fd;
        return true;
    }

    void Close() override {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    std::optional<uint64_t> OpenFileSize() override {
        struct stat info;
        if (fd_ < 0 || fstat(fd_, &info) != 0) return std::nullopt;
        return static_cast<uint64_t>(info.st_size);
    }

    WriteOutcome Write(std::string_view bytes) override {
        const ssize_t n = write(fd_, bytes.data(), bytes.size());
        if (n < 0) return {errno == EINTR ? WriteOutcome::Interrupted : WriteOutcome::Failed, 0};
        return {WriteOutcome::Written, static_cast<size_t>(n)};
    }

    // POSIX has no rename through a descriptor: the file at the path is compared with the open
    // one right before it is renamed by name, which leaves a short window that the Windows
    // implementation does not have.
    RenameOutcome RenameOpenFile(const Path& from, const Path& to) override {
        struct stat open;
        struct stat atPath;
        if (fd_ < 0 || fstat(fd_, &open) != 0) return RenameOutcome::Failed;
        if (stat(Native(from).c_str(), &atPath) != 0) {
            return errno == ENOENT ? RenameOutcome::NotTheOpenFile : RenameOutcome::Failed;
        }
        if (open.st_dev != atPath.st_dev || open.st_ino != atPath.st_ino) {
            return RenameOutcome::NotTheOpenFile;
        }
        return rename(Native(from).c_str(), Native(to).c_str()) == 0 ? RenameOutcome::Renamed
                                                                     : RenameOutcome::Failed;
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<LogFileBackend> MakePlatformLogFileBackend() {
    return std::make_unique<PosixLogFileBackend>();
}

}  // namespace upkit
