#include "engine_path.h"

#include <cwchar>

bool PointAtEngineLibrary(wchar_t (&path)[kModulePathChars], DWORD length) {
    if (length < 1 || length > kModulePathChars - 1) return false;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr) return false;
    wchar_t* name = slash + 1;
    const size_t room = kModulePathChars - static_cast<size_t>(name - path);
    const size_t needed = sizeof kEngineLibrary / sizeof kEngineLibrary[0];  // with terminator
    if (needed > room) return false;
    wmemcpy(name, kEngineLibrary, needed);
    return true;
}
