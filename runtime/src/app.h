// The start-up sequence: the start-up request, the installer and updater hooks, and the hand-over
// to the installed application's start-up.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "locator.h"
#include "statics.h"
#include "version.h"

namespace upkit {

using VersionHook = std::function<void(const Version&)>;

// The start-up request of one upkit_app_run.
struct UpkitApp {
    std::vector<std::string> args;
    std::optional<LocatorConfig> locatorOverride;
    std::optional<VersionHook> onInstall;
    std::optional<VersionHook> onUpdated;
    std::optional<VersionHook> onObsolete;
    std::optional<VersionHook> onUninstall;
    std::optional<VersionHook> onFirstRun;
    std::optional<VersionHook> onRestarted;
    bool applyOnStart = true;
};

// Builds the request from the options (read under their shared lock) and the process command line.
// Each hook set in the options is bound to a bridge that passes userData and the version's text.
UpkitApp BuildStartupRequest(const AppOptions& options, std::u16string_view commandLine,
                             void* userData);

// The list in its debug form: ["a", "b"], [] when empty.
std::string ArgsDebug(const std::vector<std::string>& args);

// Logs the arguments, answers a hook invocation (ending the process with exit code 0 unless
// "UPKIT_DEBUG" is set), then runs the installed application's start-up.
void Run(UpkitApp& request);

// Whether an environment variable is set: present with a value that is valid text, the empty
// value included.
bool EnvVarIsSet(const char16_t* name);

// Fires a hook once: it is taken out of its field first.
void FireHook(std::optional<VersionHook>& hook, const Version& version);

}  // namespace upkit
