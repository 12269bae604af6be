// Native stand-ins for the shell identity and file deletion of the start-up.
#include <unistd.h>

#include "app_startup.h"
#include "misc.h"
#include "text.h"

namespace upkit {

namespace {
std::optional<std::u16string> g_identity;
}  // namespace

void SetCurrentProcessAppUserModelId(const std::u16string& terminatedIdentity) {
    g_identity = std::u16string(terminatedIdentity.c_str());
}

std::optional<std::u16string> CurrentProcessAppUserModelId() {
    return g_identity;
}

void DeleteFileIgnoringFailure(const Path& path) {
    IoResult<std::u16string> name = OsPathText(path);
    if (!name) return;
    unlink(Utf16ToWtf8(name.value()).c_str());
}

}  // namespace upkit
