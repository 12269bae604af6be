// Makes the real ZeltOy2.exe fault while the runtime's start-up runs, as a fault of the runtime's
// own code would: for the panic record that the documentation shows and the release test turns
// back into a function and a line with the released PDB.
//
//   fault_injector GAME HELD LOG RVA ARGUMENT
//       Holds the file HELD open without sharing (a package of the installation, so that the
//       start-up, once its log exists, waits in its retries), starts GAME, and waits until the
//       runtime log LOG shows the game's first retry. Then it starts a thread in the game at the
//       game's function whose address is RVA (hex, from the image's base) with ARGUMENT (hex) as
//       its parameter: a function that reads through its parameter faults at once on a bad one.
//       Prints "exit=<the game's exit code in hex>" and exits with 0; 2 when a step fails.
#include <windows.h>

#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string ReadAll(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    CloseHandle(file);
    return text;
}

int Fail(const char* what) {
    std::printf("fault_injector: %s (error %lu)\n", what, GetLastError());
    return 2;
}

// The base the image of the process's executable is loaded at: its first module.
uintptr_t ExeBase(HANDLE process) {
    HMODULE modules[1] = {};
    DWORD needed = 0;
    if (!EnumProcessModulesEx(process, modules, sizeof modules, &needed, LIST_MODULES_64BIT)) {
        return 0;
    }
    return reinterpret_cast<uintptr_t>(modules[0]);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) return Fail("usage: fault_injector GAME HELD LOG RVA ARGUMENT");
    const std::wstring game = argv[1];
    const uintptr_t rva = static_cast<uintptr_t>(std::wcstoull(argv[4], nullptr, 16));
    const uintptr_t argument = static_cast<uintptr_t>(std::wcstoull(argv[5], nullptr, 16));

    HANDLE held = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return Fail("cannot hold the file");

    std::wstring commandLine = L"\"" + game + L"\"";
    const std::wstring folder = game.substr(0, game.find_last_of(L"\\/"));
    SetEnvironmentVariableW(L"ZELT_BASLATICI_KUTUSUZ", L"1");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(game.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info)) {
        return Fail("cannot start the game");
    }
    CloseHandle(info.hThread);

    // The game's first retry: its start-up runs, its log is set up, and it waits.
    const std::string mark = "[lib-cpp:" + std::to_string(info.dwProcessId) + "] ";
    bool retrying = false;
    for (int i = 0; i < 300 && !retrying; ++i) {
        const std::string log = ReadAll(argv[3]);
        for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
            const std::string line = log.substr(at, log.find('\n', at) - at);
            if (line.find("] [WARN] Retrying operation in 333ms") != std::string::npos) {
                retrying = true;
                break;
            }
        }
        if (!retrying) Sleep(100);
    }
    if (!retrying) {
        TerminateProcess(info.hProcess, 1);
        return Fail("the game's log shows no retry");
    }

    const uintptr_t base = ExeBase(info.hProcess);
    if (base == 0) return Fail("cannot find the game's image");
    HANDLE thread = CreateRemoteThread(info.hProcess, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(base + rva),
                                       reinterpret_cast<void*>(argument), 0, nullptr);
    if (thread == nullptr) return Fail("cannot start a thread in the game");
    CloseHandle(thread);

    if (WaitForSingleObject(info.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, 1);
        return Fail("the game did not end");
    }
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    CloseHandle(held);
    std::printf("exit=0x%lX\n", code);
    return 0;
}
