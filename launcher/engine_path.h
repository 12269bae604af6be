// Where the engine library is loaded from: beside the executable, by full path, whenever the
// executable's own path is known and leaves room for the engine's name.
#pragma once

#include <windows.h>

inline constexpr DWORD kModulePathChars = 1040;
inline constexpr wchar_t kEngineLibrary[] = L"UnityPlayer.dll";

// Takes the buffer as GetModuleFileNameW(null, path, kModulePathChars) filled it and the length it
// returned. The path counts only with a length of 1 to kModulePathChars - 1 (0 is a failure, a
// full buffer means the path was cut). Then everything after its last backslash is replaced by
// the engine library's name, if that name and its terminator fit in the rest of the buffer.
// True when the buffer now holds the engine's full path; false, with the buffer unchanged,
// when the library is to be loaded by its plain name. Never writes past the buffer.
bool PointAtEngineLibrary(wchar_t (&path)[kModulePathChars], DWORD length);
