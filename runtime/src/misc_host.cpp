// Native stand-ins for the file-system layer, so the logic above it runs in host tests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "logging.h"
#include "misc.h"
#include "text.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::misc";

std::string Native(const Path& path) {
    return Utf16ToWtf8(path.Units());
}

}  // namespace

bool CanWriteToDirectory(const Path& dir) {
    const Path probe = JoinPath(dir, ".upkit_dir_test");
    const std::string native = Native(probe);
    IoResult<std::u16string> text = SystemPathText(probe);
    const int fd = text ? open(native.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd < 0) {
        const IoError error = text ? IoError::FromOsCode(errno) : text.error();
        UPKIT_WARN(kTarget, "Failed to open directory for writing " + PathDebug(probe) + ": " +
                                error.Display());
        return false;
    }
    unlink(native.c_str());
    close(fd);
    return true;
}

IoResult<Path> LocalAppDataDir() {
    return IoError::WithMessage(IoErrorKind::Unsupported,
                                "no local application data folder on this platform");
}

IoResult<Path> CurrentExePath() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return IoError::FromOsCode(error.value());
    return Path::FromUtf8(exe.string());
}

bool PathExists(const Path& path) {
    struct stat info;
    return stat(Native(path).c_str(), &info) == 0;
}

IoResult<Unit> CreateDirAll(const Path& dir) {
    if (dir.Empty()) return Unit{};
    std::error_code error;
    std::filesystem::create_directories(Native(dir), error);
    if (error) return IoError::FromOsCode(error.value());
    return Unit{};
}

Path TempDir() {
    std::error_code error;
    std::string dir = std::filesystem::temp_directory_path(error).string();
    if (error) return Path();
    if (dir.empty() || dir.back() != '/') dir += '/';
    return Path::FromUtf8(dir);
}

}  // namespace upkit
