// The process-wide records of the runtime: the options a host sets before start-up and the log
// forwarding target. Both are created on first use and live until the process ends.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "locator.h"
#include "logging.h"
#include "upkit.h"

namespace upkit {

struct AppOptions {
    std::optional<std::vector<std::string>> argsOverride;
    std::optional<LocatorConfig> locatorOverride;
    VersionHookFn onInstall = nullptr;
    VersionHookFn onUpdated = nullptr;
    VersionHookFn onObsolete = nullptr;
    VersionHookFn onUninstall = nullptr;
    VersionHookFn onFirstRun = nullptr;
    VersionHookFn onRestarted = nullptr;
    std::optional<bool> applyOnStart;  // unset means true
};

// The options record and its reader-writer lock: shared for the whole of upkit_app_run, exclusive
// for a setter.
AppOptions& Options();
std::shared_mutex& OptionsLock();

struct LogCallbackTarget {
    LogCallbackFn callback = nullptr;
    void* userData = nullptr;
};

LogCallbackTarget& LogTarget();
std::timed_mutex& LogTargetLock();

// The forwarding logger's handling of one record: passes the level's lower-case name and the
// message (each NUL shown as backslash-zero) to the log callback, if one is set, while holding
// LogTargetLock. Dropped when the global maximum level does not admit the record, and, given a
// lockWait (a fault record), when the lock is still taken after that long.
void ForwardLogRecord(Level level, std::string_view target, std::string_view message,
                      std::optional<std::chrono::milliseconds> lockWait = std::nullopt);

// The runtime's C++ surface for hosts that link it (test hosts among them). Each setter takes the
// options lock exclusively, so none may be called from inside a hook.
void SetArgsOverride(std::optional<std::vector<std::string>> args);
void SetLocatorOverride(std::optional<LocatorConfig> config);
void SetHooks(VersionHookFn onInstall, VersionHookFn onUpdated, VersionHookFn onObsolete,
              VersionHookFn onUninstall, VersionHookFn onFirstRun, VersionHookFn onRestarted);
void SetLogCallback(LogCallbackFn callback, void* userData);

}  // namespace upkit
