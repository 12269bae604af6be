#include "statics.h"

namespace upkit {

// Function-local statics: created once, thread-safely, on first use, never destroyed so that a
// record emitted while the process ends still finds them.
AppOptions& Options() {
    static AppOptions* options = new AppOptions();
    return *options;
}

std::shared_mutex& OptionsLock() {
    static std::shared_mutex* lock = new std::shared_mutex();
    return *lock;
}

LogCallbackTarget& LogTarget() {
    static LogCallbackTarget* target = new LogCallbackTarget();
    return *target;
}

std::timed_mutex& LogTargetLock() {
    static std::timed_mutex* lock = new std::timed_mutex();
    return *lock;
}

void SetArgsOverride(std::optional<std::vector<std::string>> args) {
    std::unique_lock lock(OptionsLock());
    Options().argsOverride = std::move(args);
}

void SetLocatorOverride(std::optional<LocatorConfig> config) {
    std::unique_lock lock(OptionsLock());
    Options().locatorOverride = std::move(config);
}

void SetHooks(VersionHookFn onInstall, VersionHookFn onUpdated, VersionHookFn onObsolete,
              VersionHookFn onUninstall, VersionHookFn onFirstRun, VersionHookFn onRestarted) {
    std::unique_lock lock(OptionsLock());
    AppOptions& o = Options();
    o.onInstall = onInstall;
    o.onUpdated = onUpdated;
    o.onObsolete = onObsolete;
    o.onUninstall = onUninstall;
    o.onFirstRun = onFirstRun;
    o.onRestarted = onRestarted;
}

void SetLogCallback(LogCallbackFn callback, void* userData) {
    std::lock_guard lock(LogTargetLock());
    LogTarget().callback = callback;
    LogTarget().userData = userData;
}

void ForwardLogRecord(Level level, std::string_view target, std::string_view message,
                      std::optional<std::chrono::milliseconds> lockWait) {
    if (!LogEnabled(level)) return;
    const char* levelName = LevelLowerName(level);
    std::unique_lock lock(LogTargetLock(), std::defer_lock);
    if (!lockWait) {
        lock.lock();
    } else if (!TakeLockWithin(lock, *lockWait)) {
        return;
    }
    const LogCallbackTarget& sink = LogTarget();
    if (sink.callback == nullptr) return;
    // The callback sees a C string: a NUL inside the message would silently cut it short.
    std::string text;
    text.reserve(message.size() + 1);
    for (const char c : message) {
        if (c == '\0') {
            text += "\\0";
        } else {
            text.push_back(c);
        }
    }
    sink.callback(sink.userData, levelName, text.c_str());
}

}  // namespace upkit
