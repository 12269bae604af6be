// ZeltOy2.exe end to end when the engine library is missing or of the wrong kind: the exit code,
// and the message box unless ZELT_BASLATICI_KUTUSUZ is exactly "1".
#include <gtest/gtest.h>

#include "game_run.h"

namespace zelt::test {
namespace {

constexpr DWORD kNotLoadable = 126;
constexpr DWORD kNoEntry = 127;

// The error the test process gets for the same failing call, to compare with the message.
DWORD LoadError(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = GetLastError();
    EXPECT_EQ(module, nullptr);
    if (module) FreeLibrary(module);
    return error;
}

DWORD MissingEntryError(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    EXPECT_NE(module, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "UnityMain2"), nullptr);
    const DWORD error = GetLastError();
    FreeLibrary(module);
    return error;
}

std::wstring NotLoadableText(DWORD error) {
    return L"UnityPlayer.dll yüklenemedi (hata " + std::to_wstring(error) +
           L").\nOyun dosyaları eksik ya da bozuk: oyunu yeniden kurun.";
}

std::wstring NoEntryText(DWORD error) {
    return L"UnityPlayer.dll bu oyunun sürümüyle uyumsuz (UnityMain2 yok, hata " +
           std::to_wstring(error) + L").\nOyunu yeniden kurun.";
}

struct FailureCase {
    const char* name;
    EngineKind engine;
    DWORD exitCode;
};

const FailureCase kFailures[] = {
    {"missing engine", EngineKind::Missing, kNotLoadable},
    {"engine file that is not a library", EngineKind::NotLibrary, kNotLoadable},
    {"library without UnityMain2", EngineKind::NoEntry, kNoEntry},
};

TEST(EngineErrors, ExitCodesWithoutMessageBox) {
    for (const FailureCase& c : kFailures) {
        SCOPED_TRACE(c.name);
        GameFolder game(c.engine);
        ProcessSpec invocation = game.Invocation(L"");
        invocation.timeoutMs = 30000;  // a message box would keep the process from ending
        EXPECT_EQ(RunProcess(invocation), c.exitCode);
    }
}

TEST(EngineErrors, MessageBoxUnlessSwitchIsExactlyOne) {
    const std::optional<std::wstring> switchValues[] = {std::nullopt, L"11", L"0",
                                                        L" 1",        L"",   L"1 "};
    for (const FailureCase& c : kFailures) {
        GameFolder game(c.engine);
        const DWORD error = c.exitCode == kNoEntry ? MissingEntryError(BinPath(kFixtureNoEntry))
                                                   : LoadError(game.engine());
        const std::wstring expected =
            c.exitCode == kNoEntry ? NoEntryText(error) : NotLoadableText(error);
        for (const std::optional<std::wstring>& value : switchValues) {
            SCOPED_TRACE(std::string(c.name) + ", ZELT_BASLATICI_KUTUSUZ " +
                         (value ? "\"" + Narrow(*value) + "\"" : "absent"));
            Process process;
            ASSERT_TRUE(process.Start(game.Invocation(L"", {{L"ZELT_BASLATICI_KUTUSUZ", value}})));
            const HWND box = WaitForLauncherBox(process.Id(), 30000);
            ASSERT_NE(box, nullptr) << "no message box";
            EXPECT_EQ(Narrow(MessageBoxText(box)), Narrow(expected));
            // MB_OK: one button, OK.
            EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
            EXPECT_TRUE(process.Running()) << "ended before the box was closed";
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            EXPECT_EQ(process.Wait(30000), c.exitCode);
        }
    }
}

// The engine library is looked up only beside the executable, by full path: one found elsewhere
// in the standard search order (here, the working folder) is not used.
TEST(EngineErrors, EngineOutsideTheExecutableFolderIsNotUsed) {
    GameFolder game(EngineKind::Missing);
    TempDir work(L"work");
    ASSERT_TRUE(CopyFileTo(BinPath(kFixtureEngine), work / L"UnityPlayer.dll"));
    ProcessSpec invocation = game.Invocation(L"");
    invocation.workingDir = work.path();
    EXPECT_EQ(RunProcess(invocation), kNotLoadable);
    EXPECT_FALSE(PathExists(game.report()));
}

}  // namespace
}  // namespace zelt::test
