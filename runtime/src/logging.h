// The runtime's log facility: levels, targets, and the emitting side used by every module.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace upkit {

enum class Level : uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

const char* LevelUpperName(Level level);  // "ERROR" ...
const char* LevelLowerName(Level level);  // "error" ...

namespace detail {
extern std::atomic<uint8_t> g_maxLevel;
}

// Whether the global maximum level admits a record of this level. Off until the log is set up.
inline bool LogEnabled(Level level) {
    return static_cast<uint8_t>(level) <= detail::g_maxLevel.load(std::memory_order_relaxed) &&
           level != Level::Off;
}

void SetMaxLevel(Level level);
Level MaxLevel();

// A log destination. The installed logger lives until the process ends.
class Logger {
public:
    virtual ~Logger() = default;
    virtual void Log(Level level, std::string_view target, std::string_view message) = 0;
    // The same for a record written as the process ends after a fault: it waits for a lock at
    // most lockWait (zero: one try) and is dropped when the lock is still taken then. A logger
    // that takes no lock need not override it.
    virtual void LogFault(Level level, std::string_view target, std::string_view message,
                          std::chrono::milliseconds lockWait) {
        Log(level, target, message);
    }
};

// How long a fault record waits for each lock of the log. The faulting thread writing its own
// record never waits (it may hold the lock itself); a thread writing it for the faulting one
// waits a moment for a healthy thread that holds the lock briefly (a log write, a host's log
// callback), well inside the time the faulting thread gives it.
inline constexpr std::chrono::milliseconds kOwnFaultLockWait{0};
inline constexpr std::chrono::milliseconds kOtherFaultLockWait{1000};

// Takes a timed lock (std::unique_lock over a timed mutex), waiting at most `wait`; zero tries
// once.
template <class Lock>
bool TakeLockWithin(Lock& lock, std::chrono::milliseconds wait) {
    return wait.count() <= 0 ? lock.try_lock() : lock.try_lock_for(wait);
}

// Claims the process-wide logger slot once, atomically. A second attempt is refused: the logger is
// discarded and false returned.
bool InstallLogger(std::unique_ptr<Logger> logger);

// Hands one record to the installed logger (dropped when none is installed). Callers check
// LogEnabled first so that nothing is formatted before the log is set up: use UPKIT_LOG.
void EmitRecord(Level level, std::string_view target, std::string_view message);
// The same through the logger's LogFault: for fault records.
void EmitFaultRecord(Level level, std::string_view target, std::string_view message,
                     std::chrono::milliseconds lockWait);

// Internal faults (an exception escaping the runtime, a broken invariant, a hardware fault). The
// fault hook turns one into a log record, waiting at most lockWait for each of the log's locks;
// RaiseFault runs it and then ends the process at once with exit code 3, with no dialog of any
// kind. A fault without text passes nothing as its message; the thread's name is nothing for a
// thread without one.
//
// Not every fault reaches it. Fail-fast exits (__fastfail, a corrupted heap 0xC0000374, a failed
// stack cookie check 0xC0000409) end the process inside the system without running any handler:
// Windows Error Reporting takes them, which may show its dialog, and the log has no record.
using FaultHook = void (*)(const std::optional<std::string>& threadName,
                           const std::optional<std::string_view>& message, std::string_view file,
                           int line, std::chrono::milliseconds lockWait);
void SetFaultHook(FaultHook hook);
// A fault of the calling thread.
[[noreturn]] void RaiseFault(const std::optional<std::string_view>& message, std::string_view file,
                             int line);
// A fault of another thread, reported for it by the calling one, which waits a moment for the
// log's locks (kOtherFaultLockWait).
[[noreturn]] void RaiseFaultOf(const std::optional<std::string>& threadName,
                               const std::optional<std::string_view>& message,
                               std::string_view file, int line);

// Makes every terminate of the C++ runtime (an exception escaping where none may, a broken rule
// of the language) an internal fault that goes through RaiseFault, with the escaping exception's
// text when it has one. The C++ runtime's own handler would print to the standard error and
// call abort, which on Windows shows a message box first. Stays in place for the process.
void HandleTerminateAsFault();

}  // namespace upkit

// Formats the message (any expression yielding a string) only when the level is admitted.
#define UPKIT_LOG(level, target, ...)                                     \
    do {                                                                  \
        if (::upkit::LogEnabled(level)) {                                 \
            ::upkit::EmitRecord(level, target, std::string(__VA_ARGS__)); \
        }                                                                 \
    } while (0)

#define UPKIT_ERROR(target, ...) UPKIT_LOG(::upkit::Level::Error, target, __VA_ARGS__)
#define UPKIT_WARN(target, ...) UPKIT_LOG(::upkit::Level::Warn, target, __VA_ARGS__)
#define UPKIT_INFO(target, ...) UPKIT_LOG(::upkit::Level::Info, target, __VA_ARGS__)
#define UPKIT_DEBUG(target, ...) UPKIT_LOG(::upkit::Level::Debug, target, __VA_ARGS__)
#define UPKIT_TRACE(target, ...) UPKIT_LOG(::upkit::Level::Trace, target, __VA_ARGS__)
