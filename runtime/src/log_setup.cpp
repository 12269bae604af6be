#include "log_setup.h"

#include <cinttypes>
#include <cstdio>

#include "logging_file.h"
#include "misc.h"
#include "os/os.h"
#include "statics.h"

namespace upkit {

namespace {

bool Admits(Level filter, Level level) {
    return level != Level::Off && static_cast<uint8_t>(level) <= static_cast<uint8_t>(filter);
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

void CombinedLogger::LogFault(Level level, std::string_view target, std::string_view message,
                              std::chrono::milliseconds lockWait) {
    for (const Member& member : members_) {
        if (Admits(member.level, level)) member.logger->LogFault(level, target, message, lockWait);
    }
}

void ForwardingLogger::Log(Level level, std::string_view target, std::string_view message) {
    ForwardLogRecord(level, target, message);
}

void ForwardingLogger::LogFault(Level level, std::string_view target, std::string_view message,
                                std::chrono::milliseconds lockWait) {
    ForwardLogRecord(level, target, message, lockWait);
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

std::string HardwareFaultText(const HardwareFault& fault) {
    char text[64];
    std::snprintf(text, sizeof text, "exception 0x%08" PRIX32 " at ", fault.code);
    std::string out = text;
    if (fault.module) out += *fault.module + "+";
    std::snprintf(text, sizeof text, "0x%" PRIX64, fault.offset);
    return out + text;
}

void LogFault(const std::optional<std::string>& threadName,
              const std::optional<std::string_view>& message, std::string_view file, int line,
              std::chrono::milliseconds lockWait) {
    if (!LogEnabled(Level::Error)) return;
    EmitFaultRecord(Level::Error, "panic", FaultRecordMessage(threadName, message, file, line),
                    lockWait);
}

void RaiseHardwareFault(const HardwareFault& fault) {
    RaiseFaultOf(fault.threadName, std::string_view(HardwareFaultText(fault)), "<unknown>", 0);
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
}

}  // namespace upkit
