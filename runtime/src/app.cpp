#include "app.h"

#include <utility>

#include "app_startup.h"
#include "cmdline.h"
#include "logging.h"
#include "os/os.h"
#include "text.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::app";

std::optional<VersionHook> Bridge(VersionHookFn fn, void* userData) {
    if (fn == nullptr) return std::nullopt;
    return VersionHook([fn, userData](const Version& version) {
        const std::string text = VersionText(version);
        fn(userData, text.c_str());
    });
}

}  // namespace

UpkitApp BuildStartupRequest(const AppOptions& options, std::u16string_view commandLine,
                             void* userData) {
    UpkitApp request;
    request.args =
        options.argsOverride ? *options.argsOverride : ArgumentsFromCommandLine(commandLine);
    request.locatorOverride = options.locatorOverride;
    request.onInstall = Bridge(options.onInstall, userData);
    request.onUpdated = Bridge(options.onUpdated, userData);
    request.onObsolete = Bridge(options.onObsolete, userData);
    request.onUninstall = Bridge(options.onUninstall, userData);
    request.onFirstRun = Bridge(options.onFirstRun, userData);
    request.onRestarted = Bridge(options.onRestarted, userData);
    request.applyOnStart = options.applyOnStart.value_or(true);
    return request;
}

std::string ArgsDebug(const std::vector<std::string>& args) {
    std::string out = "[";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) out += ", ";
        out += QuoteText(args[i]);
    }
    out += "]";
    return out;
}

bool EnvVarIsSet(const char16_t* name) {
    const std::optional<std::u16string> value = ReadEnvVar(name);
    return value && IsValidUtf16(*value);
}

void FireHook(std::optional<VersionHook>& hook, const Version& version) {
    const std::optional<VersionHook> taken = std::exchange(hook, std::nullopt);
    if (taken) (*taken)(version);
}

void Run(UpkitApp& request) {
    UPKIT_INFO(kTarget, "UpkitApp: Running with args: " + ArgsDebug(request.args));

    if (request.args.size() >= 2) {
        const std::string first = AsciiLower(request.args[0]);
        std::optional<VersionHook>* hook = nullptr;
        if (first == "--upkit-install") {
            hook = &request.onInstall;
        } else if (first == "--upkit-updated") {
            hook = &request.onUpdated;
        } else if (first == "--upkit-obsolete") {
            hook = &request.onObsolete;
        } else if (first == "--upkit-uninstall") {
            hook = &request.onUninstall;
        }
        if (hook != nullptr) {
            UPKIT_INFO(kTarget, "UpkitApp: Fast callback hook triggered.");
            std::optional<VersionHook> taken = std::move(*hook);
            hook->reset();
            if (taken) {
                // An unparsable version drops the hook without a word: the installer only waits
                // for the process to end.
                Result<Version> version = ParseVersion(request.args[1]);
                if (version) (*taken)(version.value());
            }
            if (EnvVarIsSet(u"UPKIT_DEBUG")) {
                UPKIT_WARN(kTarget,
                           "UpkitApp: Debug mode enabled, not quitting for fast callback hook.");
            } else {
                EndProcess(0);
            }
        }
    }

    RunInstalledStartup(request);
}

}  // namespace upkit
