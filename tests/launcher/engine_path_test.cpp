// Where the engine library is loaded from, for executable paths that cannot be produced end to
// end (Wine starts no executable whose path is longer than MAX_PATH).
#include <gtest/gtest.h>

#include <string>

#include "engine_path.h"
#include "zelt_test.h"

namespace zelt::test {
namespace {

// The buffer followed by a guard that must stay untouched.
struct GuardedBuffer {
    wchar_t path[kModulePathChars];
    wchar_t guard[32];
};

struct PathCase {
    const char* name;
    std::wstring path;  // what GetModuleFileNameW wrote (cut to the buffer)
    DWORD length;       // what it returned
    bool usesFullPath;
    std::wstring result;  // the buffer's text afterwards
};

// A folder path of the given length.
std::wstring Folder(size_t chars) {
    return L"C:\\" + std::wstring(chars - 3, L'd');
}

TEST(EnginePath, FullPathBesideTheExecutableOrThePlainName) {
    const std::wstring shortExe = L"C:\\Oyun\\ZeltOy2.exe";
    // With the backslash at index 1023 the name and its terminator fill the buffer exactly.
    const std::wstring fits = Folder(1023) + L"\\Z.exe";
    const std::wstring tooLong = Folder(1024) + L"\\Z.exe";
    const std::wstring cut = Folder(1100).substr(0, kModulePathChars);
    const PathCase cases[] = {
        {"ordinary path", shortExe, static_cast<DWORD>(shortExe.size()), true,
         L"C:\\Oyun\\UnityPlayer.dll"},
        {"name fills the buffer exactly", fits, static_cast<DWORD>(fits.size()), true,
         Folder(1023) + L"\\UnityPlayer.dll"},
        {"name does not fit after the folder", tooLong, static_cast<DWORD>(tooLong.size()), false,
         tooLong},
        {"path cut by the buffer", cut, kModulePathChars, false, cut},
        {"failed call", L"", 0, false, L""},
        {"no backslash", L"ZeltOy2.exe", 11, false, L"ZeltOy2.exe"},
        {"backslash at the end", L"C:\\Oyun\\", 8, true, L"C:\\Oyun\\UnityPlayer.dll"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        GuardedBuffer buffer;
        wmemset(buffer.path, L'\0', kModulePathChars);
        wmemset(buffer.guard, L'#', 32);
        ASSERT_LE(c.path.size(), kModulePathChars);
        wmemcpy(buffer.path, c.path.data(), c.path.size());

        EXPECT_EQ(PointAtEngineLibrary(buffer.path, c.length), c.usesFullPath);
        EXPECT_EQ(std::wstring(buffer.path, wcsnlen(buffer.path, kModulePathChars)), c.result);
        EXPECT_EQ(std::wstring(buffer.guard, 32), std::wstring(32, L'#'));
    }
}

}  // namespace
}  // namespace zelt::test
