// Starting the built ZeltOy2.exe from a fresh folder, beside an engine library of a chosen kind.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "zelt_test.h"

namespace zelt::test {

enum class EngineKind {
    Fixture,     // the scriptable fixture engine
    Missing,     // no UnityPlayer.dll at all
    NoEntry,     // a library without UnityMain2
    NotLibrary,  // a text file named UnityPlayer.dll
};

// A temporary folder holding ZeltOy2.exe and, as UnityPlayer.dll, the chosen engine.
class GameFolder {
public:
    explicit GameFolder(EngineKind engine = EngineKind::Fixture,
                        std::wstring_view exeName = kLauncherExe);

    const std::wstring& dir() const { return dir_.path(); }
    std::wstring exe() const { return dir_ / exeName_; }
    std::wstring engine() const { return dir_ / L"UnityPlayer.dll"; }
    // Where the fixture engine writes its record.
    std::wstring report() const { return dir_ / L"engine-report.txt"; }

    // Starts the game with the arguments after the program name; the environment gets the
    // report path and the switch that keeps error boxes away, then the given changes.
    ProcessSpec Invocation(std::wstring_view arguments, const EnvChanges& env = {}) const;
    // The same with a whole command line of the caller's choice (program name included).
    ProcessSpec SpecWithCommandLine(std::wstring_view commandLine,
                                    const EnvChanges& env = {}) const;

private:
    TempDir dir_;
    std::wstring exeName_;
};

// Finds the message box with the caption "ZeltOy2" that the process shows; null after the timeout.
HWND WaitForLauncherBox(DWORD processId, DWORD timeoutMs);
// The text of a message box (its static text control).
std::wstring MessageBoxText(HWND box);

}  // namespace zelt::test
