#include <windows.h>
#include <shobjidl.h>

#include "app_startup.h"
#include "misc.h"

namespace upkit {

void SetCurrentProcessAppUserModelId(const std::u16string& terminatedIdentity) {
    SetCurrentProcessExplicitAppUserModelID(
        reinterpret_cast<const wchar_t*>(terminatedIdentity.c_str()));
}

std::optional<std::u16string> CurrentProcessAppUserModelId() {
    PWSTR id = nullptr;
    if (FAILED(GetCurrentProcessExplicitAppUserModelID(&id)) || id == nullptr) return std::nullopt;
    std::u16string units(reinterpret_cast<const char16_t*>(id));
    CoTaskMemFree(id);
    return units;
}

void DeleteFileIgnoringFailure(const Path& path) {
    IoResult<std::u16string> name = OsPathText(path);
    if (!name) return;
    DeleteFileW(reinterpret_cast<const wchar_t*>(name.value().c_str()));
}

}  // namespace upkit
