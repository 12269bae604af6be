// Starts a command line, waits for it and prints its whole 32-bit exit code (a Linux shell sees
// only the low 8 bits of a Windows exit code), and lets it write to this one's standard output and
// error. Used by the demo and by the release test's crash.
//   run_report.exe <working dir> <command line...>
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: run_report <working dir> <program> [arguments...]\n");
        return 2;
    }
    // Re-quote the program and pass the rest of our own command line through unchanged.
    const wchar_t* line = GetCommandLineW();
    std::wstring rest;
    {
        // Skip our program name and the working directory argument as the C runtime split them.
        int skipped = 0;
        bool quoted = false;
        const wchar_t* p = line;
        while (*p && skipped < 2) {
            if (*p == L'"') quoted = !quoted;
            if (!quoted && (*p == L' ' || *p == L'\t')) {
                ++skipped;
                while (*p == L' ' || *p == L'\t') ++p;
                continue;
            }
            ++p;
        }
        rest = p;
    }
    // The program gets this one's standard handles, even a GUI program, and whatever it starts in
    // turn (Wine's crash debugger, when it crashes) writes there too.
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring command = rest;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, argv[1], &si,
                        &pi)) {
        std::fwprintf(stderr, L"could not start the program (error %lu)\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::printf("exit code %ld (0x%08lX)\n", static_cast<long>(static_cast<LONG>(code)),
                static_cast<unsigned long>(code));
    return 0;
}
