// run-tests.exe: the runner of the test kit a studio's QA person unzips on a stock Windows PC and
// starts with a double-click. This file reads the command line and decides whether the window
// waits for a key at the end; kit_runner.cpp does the run.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit_runner.h"
#include "kit_win.h"

namespace zelt::kit {
namespace {

constexpr const char* kUsage =
    "Usage: run-tests.exe [options]\n"
    "Runs the tests of the ZeltOy2 test kit and writes report.txt beside run-tests.exe.\n"
    "Started without options (a double-click), it runs every test with the defaults.\n"
    "\n"
    "  --timeout S              time limit of each test in seconds (default 300)\n"
    "  --report FILE            write the report there instead\n"
    "  --junit FILE             also write the results as one JUnit XML file\n"
    "  --filter PATTERN         the tests to run, in gtest's filter syntax\n"
    "                           (e.g. \"Version*:Text*-Text.Slow\")\n"
    "  --allow-system-changes   let tests change the system for a while (throwaway machines)\n"
    "  --no-wine-skips          under Wine, run the checks that mean something only on Windows\n"
    "  --self-check             run the kit's self-check program instead (it fails on purpose)\n"
    "  --bench                  after the tests, run the benchmarks (an hour or more)\n"
    "  --bin DIR                the folder of the test programs (default: bin beside the runner)\n"
    "  --no-pause               never wait for a key at the end\n"
    "  --help                   show this text\n"
    "\n"
    "Exit code: 0 when nothing failed, 1 when a test failed or hung, 2 when the kit cannot run.\n";

std::optional<unsigned> ParseSeconds(const std::wstring& text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    unsigned value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value == 0) return std::nullopt;
    return value;
}

// Sets an option that takes a value; false with `error` set when the value does not fit it.
bool SetValue(Options& options, const std::wstring& name, const std::wstring& value,
              std::string& error) {
    if (name == L"--timeout") {
        const auto seconds = ParseSeconds(value);
        if (!seconds) error = "--timeout takes a whole number of seconds from 1 to 999999";
        options.timeoutSeconds = seconds.value_or(0);
        return seconds.has_value();
    }
    if (value.empty()) {
        error = Narrow(name) + " takes a value that is not empty";
        return false;
    }
    if (name == L"--report") options.report = value;
    if (name == L"--junit") options.junit = value;
    if (name == L"--filter") options.filter = Narrow(value);
    if (name == L"--bin") options.bin = value;
    return true;
}

// Options as "--name value" or "--name=value".
std::optional<Options> ParseOptions(int argc, wchar_t** argv, std::string& error) {
    Options options;
    const std::vector<std::pair<std::wstring, bool Options::*>> flags = {
        {L"--allow-system-changes", &Options::allowSystemChanges},
        {L"--no-wine-skips", &Options::noWineSkips},
        {L"--self-check", &Options::selfCheck},
        {L"--bench", &Options::bench},
        {L"--no-pause", &Options::noPause},
        {L"--help", &Options::help}};
    const std::vector<std::wstring> valued = {L"--timeout", L"--report", L"--junit", L"--filter",
                                              L"--bin"};
    for (int i = 1; i < argc; ++i) {
        std::wstring name = argv[i];
        options.given += (i > 1 ? " " : "") + Narrow(QuoteArgument(name));
        if (name == L"-h" || name == L"/?") name = L"--help";
        const auto flag = std::find_if(flags.begin(), flags.end(),
                                       [&](const auto& f) { return f.first == name; });
        if (flag != flags.end()) {
            options.*(flag->second) = true;
            continue;
        }
        std::optional<std::wstring> value;
        if (const size_t eq = name.find(L'='); eq != std::wstring::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
        }
        if (std::find(valued.begin(), valued.end(), name) == valued.end()) {
            error = "Unknown option: " + Narrow(argv[i]);
            return std::nullopt;
        }
        if (!value && i + 1 < argc) {
            value = argv[++i];
            options.given += " " + Narrow(QuoteArgument(*value));
        }
        if (!value) {
            error = Narrow(name) + " needs a value";
            return std::nullopt;
        }
        if (!SetValue(options, name, *value, error)) return std::nullopt;
    }
    return options;
}

// Set by Ctrl+C, Ctrl+Break or the console window closing: the running test is ended, no other
// one starts, and the PC is still cleaned up.
HANDLE g_stop = nullptr;
// Set once the clean-up is done: closing the window waits (briefly) for it.
HANDLE g_cleanedUp = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    SetEvent(g_stop);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process when this returns, or after about five seconds.
        WaitForSingleObject(g_cleanedUp, 4500);
    }
    return TRUE;
}

// Started from Explorer, the window would close the moment the runner ends, taking the closing
// line with it.
int Finish(Console& console, bool noPause, int code) {
    if (!noPause && Console::OwnsInteractiveConsole()) console.PauseForKey();
    return code;
}

}  // namespace
}  // namespace zelt::kit

int wmain(int argc, wchar_t** argv) {
    using namespace zelt::kit;
    Console console;
    std::string error;
    const std::optional<Options> options = ParseOptions(argc, argv, error);
    if (!options) {
        const bool noPause = std::any_of(argv + 1, argv + argc, [](const wchar_t* a) {
            return a == std::wstring_view(L"--no-pause");
        });
        console.Write(error + "\n\n" + kUsage);
        return Finish(console, noPause, 2);
    }
    if (options->help) {
        console.Write(kUsage);
        return Finish(console, options->noPause, 0);
    }
    OwnedHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OwnedHandle cleanedUp(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stop = stop.Get();
    g_cleanedUp = cleanedUp.Get();
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    Runner runner(console, *options, stop.Get(), cleanedUp.Get());
    const int code = runner.Run();
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    return Finish(console, options->noPause, code);
}
