#include <windows.h>

#include "app_startup.h"
#include "misc.h"

namespace upkit {

void DeleteFileIgnoringFailure(const Path& path) {
    IoResult<std::u16string> name = SystemPathText(path);
    if (!name) return;
    DeleteFileW(reinterpret_cast<const wchar_t*>(name.value().c_str()));
}

}  // namespace upkit
