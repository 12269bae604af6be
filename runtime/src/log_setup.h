// Setting up the runtime log at the start of upkit_app_run.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "locator.h"
#include "logging.h"
#include "os/os.h"

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
    void LogFault(Level level, std::string_view target, std::string_view message,
                  std::chrono::milliseconds lockWait) override;

private:
    std::vector<Member> members_;
};

// Passes every record to the host's log callback (ForwardLogRecord).
class ForwardingLogger : public Logger {
public:
    void Log(Level level, std::string_view target, std::string_view message) override;
    void LogFault(Level level, std::string_view target, std::string_view message,
                  std::chrono::milliseconds lockWait) override;
};

// The log file's name.
std::string LogFileName(const std::optional<LocatorConfig>& locatorOverride);

// "thread '<name>' panicked at '<message>': <file>:<line>", with "<unnamed>" for a thread without
// a name and "Box<Any>" for a fault without text.
std::string FaultRecordMessage(const std::optional<std::string>& threadName,
                               const std::optional<std::string_view>& message,
                               std::string_view file, int line);

// The message of a hardware fault's record: "exception 0xC0000005 at ZeltOy2.exe+0x1A2B" (the
// code as eight upper-case hex digits, the module's file name and the offset from its base), or
// "exception 0xC0000005 at 0x1A2B" with the address when no module holds it. For a C++ exception
// of Microsoft's runtime (0xE06D7363) the module is the one that threw and the offset that of the
// thrown type's description in it (a "_TI..." symbol of its PDB), since the throw site is not in
// the exception's record.
std::string HardwareFaultText(const HardwareFault& fault);

// The fault hook: writes the fault as an Error record with target "panic", waiting at most
// lockWait for each lock of the log (Logger::LogFault).
void LogFault(const std::optional<std::string>& threadName,
              const std::optional<std::string_view>& message, std::string_view file, int line,
              std::chrono::milliseconds lockWait);

// A hardware fault as an internal fault of the thread it happened on: HardwareFaultText at
// "<unknown>:0", since a faulting instruction has no source position (the release's symbols name
// its function).
[[noreturn]] void RaiseHardwareFault(const HardwareFault& fault);

// Chooses the log file, installs the combined logger (forwarding at Trace, file at Info) once per
// process, sets the global maximum level and installs the fault hook. Cannot fail.
void SetUpRuntimeLog(const std::optional<LocatorConfig>& locatorOverride);

}  // namespace upkit
