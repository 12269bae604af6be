#include <windows.h>

#include "manager.h"
#include "misc.h"

namespace upkit {

IoResult<uint64_t> PackageFileSize(const Path& path) {
    IoResult<std::u16string> name = SystemPathText(path);
    if (!name) return name.take_error();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(reinterpret_cast<const wchar_t*>(name.value().c_str()),
                              GetFileExInfoStandard, &data)) {
        return IoError::FromOsCode(static_cast<int32_t>(GetLastError()));
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace upkit
