#include "logging.h"

#include <exception>

#include "os/os.h"

namespace upkit {

namespace detail {
std::atomic<uint8_t> g_maxLevel{static_cast<uint8_t>(Level::Off)};
}

namespace {
std::atomic<Logger*> g_logger{nullptr};
std::atomic<FaultHook> g_faultHook{nullptr};
}  // namespace

const char* LevelUpperName(Level level) {
    switch (level) {
        case Level::Error:
            return "ERROR";
        case Level::Warn:
            return "WARN";
        case Level::Info:
            return "INFO";
        case Level::Debug:
            return "DEBUG";
        case Level::Trace:
            return "TRACE";
        case Level::Off:
            break;
    }
    return "OFF";
}

const char* LevelLowerName(Level level) {
    switch (level) {
        case Level::Error:
            return "error";
        case Level::Warn:
            return "warn";
        case Level::Info:
            return "info";
        case Level::Debug:
            return "debug";
        case Level::Trace:
            return "trace";
        case Level::Off:
            break;
    }
    return "off";
}

void SetMaxLevel(Level level) {
    detail::g_maxLevel.store(static_cast<uint8_t>(level), std::memory_order_relaxed);
}

Level MaxLevel() {
    return static_cast<Level>(detail::g_maxLevel.load(std::memory_order_relaxed));
}

bool InstallLogger(std::unique_ptr<Logger> logger) {
    Logger* expected = nullptr;
    if (g_logger.compare_exchange_strong(expected, logger.get(), std::memory_order_acq_rel)) {
        (void)logger.release();  // lives until the process ends
        return true;
    }
    return false;
}

void EmitRecord(Level level, std::string_view target, std::string_view message) {
    if (!LogEnabled(level)) return;
    if (Logger* logger = g_logger.load(std::memory_order_acquire)) {
        logger->Log(level, target, message);
    }
}

void EmitFaultRecord(Level level, std::string_view target, std::string_view message,
                     std::chrono::milliseconds lockWait) {
    if (!LogEnabled(level)) return;
    if (Logger* logger = g_logger.load(std::memory_order_acquire)) {
        logger->LogFault(level, target, message, lockWait);
    }
}

void SetFaultHook(FaultHook hook) {
    g_faultHook.store(hook);
}

namespace {

[[noreturn]] void RunFaultHook(const std::optional<std::string>& threadName,
                               const std::optional<std::string_view>& message,
                               std::string_view file, int line,
                               std::chrono::milliseconds lockWait) {
    if (FaultHook hook = g_faultHook.load()) {
        // A fault inside the hook itself must not recurse into it.
        g_faultHook.store(nullptr);
        try {
            hook(threadName, message, file, line, lockWait);
        } catch (...) {
        }
    }
    EndProcessAfterFault();
}

}  // namespace

void RaiseFault(const std::optional<std::string_view>& message, std::string_view file, int line) {
    RunFaultHook(g_faultHook.load() != nullptr ? CurrentThreadName() : std::nullopt, message, file,
                 line, kOwnFaultLockWait);
}

void RaiseFaultOf(const std::optional<std::string>& threadName,
                  const std::optional<std::string_view>& message, std::string_view file, int line) {
    RunFaultHook(threadName, message, file, line, kOtherFaultLockWait);
}

namespace {

[[noreturn]] void FaultOnTerminate() {
    std::optional<std::string> text;
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            text = e.what();
        } catch (...) {
        }
    }
    RaiseFault(text ? std::optional<std::string_view>(*text) : std::nullopt, __FILE__, __LINE__);
}

}  // namespace

void HandleTerminateAsFault() {
    std::set_terminate(&FaultOnTerminate);
}

}  // namespace upkit
