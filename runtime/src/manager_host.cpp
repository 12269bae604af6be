// Native stand-in for the file metadata the manager reads.
#include <sys/stat.h>

#include <cerrno>

#include "manager.h"
#include "misc.h"
#include "text.h"

namespace upkit {

IoResult<uint64_t> PackageFileSize(const Path& path) {
    IoResult<std::u16string> name = SystemPathText(path);
    if (!name) return name.take_error();
    struct stat info;
    if (stat(Utf16ToWtf8(name.value()).c_str(), &info) != 0) {
        return IoError::FromKind(errno == ENOENT ? IoErrorKind::NotFound : IoErrorKind::Other);
    }
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace upkit
