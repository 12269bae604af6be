// Setting up the runtime log at the start of upkit_app_run.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "locator.h"
#include "logging.h"

namespace upkit {

// Hands each record, in list order, to every member whose level admits it.
class CombinedLogger : public Logger {
public:
    struct Member {
        Level level;
        std::unique_ptr<Logger> logger;
    };

    explicit CombinedLogger(std::vector<Member> members);

    // The highest of the members' levels.
    Level MaxLevel() const;
    void Log(Level level, std::string_view target, std::string_view message) override;

private:
    std::vector<Member> members_;
};

// Passes every record to the host's log callback (ForwardLogRecord).
class ForwardingLogger : public Logger {
public:
    void Log(Level level, std::string_view target, std::string_view message) override;
};

// The log file's name.
std::string LogFileName(const std::optional<LocatorConfig>& locatorOverride);

// "thread '<name>' panicked at '<message>': <file>:<line>", with "<unnamed>" for a thread without
// a name and "Box<Any>" for a fault without text.
std::string FaultRecordMessage(const std::optional<std::string>& threadName,
                               const std::optional<std::string_view>& message,
                               std::string_view file, int line);

// The fault hook: writes the fault as an Error record with target "panic".
void LogFault(const std::optional<std::string_view>& message, std::string_view file, int line);

// Chooses the log file, installs the combined logger (forwarding at Trace, file at Info) once per
// process, sets the global maximum level and installs the fault hook, which a terminate of the
// C++ runtime goes through too. Cannot fail.
void SetUpRuntimeLog(const std::optional<LocatorConfig>& locatorOverride);

}  // namespace upkit
