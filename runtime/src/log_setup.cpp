#include "log_setup.h"

#include <exception>

#include "logging_file.h"
#include "misc.h"
#include "os/os.h"
#include "statics.h"

namespace upkit {

namespace {

bool Admits(Level filter, Level level) {
    return level != Level::Off && static_cast<uint8_t>(level) <= static_cast<uint8_t>(filter);
}

// A terminate (an exception escaping where none may, a broken rule of the language) is an
// internal fault like any other: logged, then the process ends at once. The C++ runtime's own
// handler would call abort, which on Windows first shows a message box.
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

CombinedLogger::CombinedLogger(std::vector<Member> members) : members_(std::move(members)) {}

Level CombinedLogger::MaxLevel() const {
    Level highest = Level::Off;
    for (const Member& member : members_) {
        if (static_cast<uint8_t>(member.level) > static_cast<uint8_t>(highest)) {
            highest = member.level;
        }
    }
    return highest;
}

void CombinedLogger::Log(Level level, std::string_view target, std::string_view message) {
    for (const Member& member : members_) {
        if (Admits(member.level, level)) member.logger->Log(level, target, message);
    }
}

void ForwardingLogger::Log(Level level, std::string_view target, std::string_view message) {
    ForwardLogRecord(level, target, message);
}

std::string LogFileName(const std::optional<LocatorConfig>& locatorOverride) {
    // Each installation gets a file named after its manifest id; "upkit.log" outside of one.
    return LogFileNameForInstallation(locatorOverride);
}

std::string FaultRecordMessage(const std::optional<std::string>& threadName,
                               const std::optional<std::string_view>& message,
                               std::string_view file, int line) {
    std::string text = "thread '";
    text += threadName ? *threadName : "<unnamed>";
    text += "' panicked at '";
    text += message ? *message : "Box<Any>";
    text += "': ";
    text += file;
    text += ":" + std::to_string(line);
    return text;
}

void LogFault(const std::optional<std::string_view>& message, std::string_view file, int line) {
    UPKIT_ERROR("panic", FaultRecordMessage(CurrentThreadName(), message, file, line));
}

void SetUpRuntimeLog(const std::optional<LocatorConfig>& locatorOverride) {
    const std::string fileName = LogFileName(locatorOverride);

    FileSystem& fs = SystemFileSystem();
    Path dir;
    if (IoResult<Path> appData = fs.LocalAppDataDir()) {
        dir = JoinPath(appData.value(), "upkit");
        (void)CreateDirAll(fs, dir);
    } else {
        dir = fs.TempDir();
    }

    auto file = std::make_unique<RotatingLogFile>(JoinPath(dir, fileName), fs);
    file->SetUp();

    std::vector<CombinedLogger::Member> members;
    members.push_back({Level::Trace, std::make_unique<ForwardingLogger>()});
    members.push_back({FileLogger::kLevel,
                       std::make_unique<FileLogger>(std::move(file), LinePrefix(CurrentProcessId()),
                                                    SaneLocalOffset(LocalUtcOffsetSeconds()))});
    auto logger = std::make_unique<CombinedLogger>(std::move(members));

    SetMaxLevel(logger->MaxLevel());
    // A second set-up in the same process loses the claim: its logger, with its file handle, is
    // dropped and the first destination stays.
    (void)InstallLogger(std::move(logger));
    SetFaultHook(&LogFault);
    std::set_terminate(&FaultOnTerminate);
}

}  // namespace upkit
