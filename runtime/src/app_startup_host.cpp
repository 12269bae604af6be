// Native stand-ins for the shell identity and file deletion of the start-up.
#include <unistd.h>

#include "app_startup.h"
#include "misc.h"
#include "text.h"

namespace upkit {

void DeleteFileIgnoringFailure(const Path& path) {
    IoResult<std::u16string> name = SystemPathText(path);
    if (!name) return;
    unlink(Utf16ToWtf8(name.value()).c_str());
}

}  // namespace upkit
