#include "game_run.h"

#include <gtest/gtest.h>

namespace zelt::test {

GameFolder::GameFolder(EngineKind engine, std::wstring_view exeName)
    : dir_(L"game"), exeName_(exeName) {
    EXPECT_TRUE(CopyFileTo(BinPath(kLauncherExe), exe()));
    switch (engine) {
        case EngineKind::Fixture:
            EXPECT_TRUE(CopyFileTo(BinPath(kFixtureEngine), this->engine()));
            break;
        case EngineKind::NoEntry:
            EXPECT_TRUE(CopyFileTo(BinPath(kFixtureNoEntry), this->engine()));
            break;
        case EngineKind::NotLibrary:
            EXPECT_TRUE(CopyFileTo(BinPath(kFixtureNotLibrary), this->engine()));
            break;
        case EngineKind::Missing:
            break;
    }
}

ProcessSpec GameFolder::Invocation(std::wstring_view arguments, const EnvChanges& env) const {
    std::wstring commandLine = QuoteArgument(exe());
    if (!arguments.empty()) commandLine += L" " + std::wstring(arguments);
    return SpecWithCommandLine(commandLine, env);
}

ProcessSpec GameFolder::SpecWithCommandLine(std::wstring_view commandLine,
                                            const EnvChanges& env) const {
    ProcessSpec invocation;
    invocation.application = exe();
    invocation.commandLine = commandLine;
    invocation.workingDir = dir();
    invocation.env = {{L"ZELT_BASLATICI_KUTUSUZ", L"1"},
                      {L"ZELT_FIXTURE_REPORT", report()},
                      {L"UPKIT_DEBUG", std::nullopt}};
    invocation.env.insert(invocation.env.end(), env.begin(), env.end());
    return invocation;
}

namespace {

struct BoxSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<BoxSearch*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != search->processId) return TRUE;
    wchar_t className[64] = {};
    wchar_t title[64] = {};
    GetClassNameW(hwnd, className, 64);
    GetWindowTextW(hwnd, title, 64);
    if (std::wstring_view(className) == L"#32770" && std::wstring_view(title) == L"ZeltOy2") {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND WaitForLauncherBox(DWORD processId, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        BoxSearch search = {processId, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        if (GetTickCount64() >= end) return nullptr;
        Sleep(50);
    }
}

std::wstring MessageBoxText(HWND box) {
    wchar_t text[1024] = {};
    // The message box's text control has the id 0xFFFF.
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    return text;
}

}  // namespace zelt::test
