// Drives the install locator from wherever this executable has been copied to, and writes what it
// logged and what it found as "key=value" lines (values escaped: "\\", "\n", "\r") to a file.
//
//   locator_host <out> auto unknown|updater|current
//   locator_host <out> auto root <root> [<packages dir>]
//   locator_host <out> auto app <executable path>
//   locator_host <out> open <root> <updater> <packages> <manifest> <current> <portable 0|1>
//   locator_host <out> logname [<root>]
//
// Output: one "log=<LEVEL> <target> <message>" line per record, then for a location either the
// Locator's fields (rootDir, updaterPath, packagesDir, manifestPath, currentDir, portable, id,
// version, mainExe) or "error=<debug form>" and "message=<message>"; for logname "name=<file name>"
// and "level=<global level afterwards>".
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../fixtures/fixture_record.h"
#include "locator.h"
#include "logging.h"
#include "text.h"
#include "version.h"

namespace {

using namespace upkit;

using zelt::fixture::Escape;

std::string g_output;

void Put(std::string_view key, std::string_view value) {
    g_output += std::string(key) + "=" + Escape(value) + "\n";
}

class RecordingLogger : public Logger {
public:
    void Log(Level level, std::string_view target, std::string_view message) override {
        Put("log", std::string(LevelUpperName(level)) + " " + std::string(target) + " " +
                       std::string(message));
    }
};

Path Arg(const wchar_t* text) {
    return Path(std::u16string(reinterpret_cast<const char16_t*>(text)));
}

void PutLocation(Result<Locator>& located) {
    if (!located) {
        Put("error", located.error().Debug());
        Put("message", located.error().Message());
        return;
    }
    const LocatorConfig& c = located->config;
    Put("rootDir", PathDisplay(c.rootDir));
    Put("updaterPath", PathDisplay(c.updaterPath));
    Put("packagesDir", PathDisplay(c.packagesDir));
    Put("manifestPath", PathDisplay(c.manifestPath));
    Put("currentDir", PathDisplay(c.currentDir));
    Put("portable", c.portable ? "true" : "false");
    Put("id", located->manifest.id);
    Put("version", VersionText(located->manifest.version));
    Put("mainExe", located->manifest.mainExe);
}

bool WriteOutput(const wchar_t* path) {
    FILE* file = _wfopen(path, L"wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(g_output.data(), 1, g_output.size(), file) == g_output.size();
    return std::fclose(file) == 0 && ok;
}

int Usage() {
    std::fprintf(stderr, "usage: see the comment at the top of locator_host.cpp\n");
    return 2;
}

}  // namespace

int main() {
    // The narrow arguments of main would lose characters outside the system code page.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return Usage();
    const std::wstring command = argv[2];
    std::vector<std::wstring> rest(argv + 3, argv + argc);

    InstallLogger(std::make_unique<RecordingLogger>());
    SetMaxLevel(Level::Trace);

    if (command == L"auto" && !rest.empty()) {
        std::optional<LocationContext> context;
        if (rest[0] == L"unknown" && rest.size() == 1) context = LocationContext::Unknown{};
        if (rest[0] == L"updater" && rest.size() == 1) context = LocationContext::UpdaterProcess{};
        if (rest[0] == L"current" && rest.size() == 1) {
            context = LocationContext::CurrentExecutable{};
        }
        if (rest[0] == L"root" && (rest.size() == 2 || rest.size() == 3)) {
            std::optional<Path> packages;
            if (rest.size() == 3) packages = Arg(argv[5]);
            context = LocationContext::RootDirectory{Arg(argv[4]), packages};
        }
        if (rest[0] == L"app" && rest.size() == 2) {
            context = LocationContext::AppExecutable{Arg(argv[4])};
        }
        if (!context) return Usage();
        Result<Locator> located = AutoLocate(std::move(*context));
        PutLocation(located);
    } else if (command == L"open" && rest.size() == 6) {
        LocatorConfig config;
        config.rootDir = Arg(argv[3]);
        config.updaterPath = Arg(argv[4]);
        config.packagesDir = Arg(argv[5]);
        config.manifestPath = Arg(argv[6]);
        config.currentDir = Arg(argv[7]);
        config.portable = rest[5] == L"1";
        Result<Locator> located = OpenLocator(config);
        PutLocation(located);
    } else if (command == L"logname" && rest.size() <= 1) {
        std::optional<LocatorConfig> locatorOverride;
        if (rest.size() == 1) locatorOverride = ConfigFromRoot(Arg(argv[3]));
        SetMaxLevel(Level::Off);  // as at the first set-up, before any logger exists
        Put("name", LogFileNameForInstallation(locatorOverride));
        Put("level", LevelUpperName(MaxLevel()));
    } else {
        return Usage();
    }
    return WriteOutput(argv[1]) ? 0 : 3;
}
