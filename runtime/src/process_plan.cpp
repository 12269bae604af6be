#include "process_plan.h"

#include "cmdline.h"
#include "logging.h"
#include "misc.h"
#include "text.h"

namespace upkit {

namespace {

constexpr const char* kManagerTarget = "upkit::manager";
constexpr const char* kProcessTarget = "upkit::process";

bool HoldsNul(std::u16string_view text) {
    return text.find(u'\0') != std::u16string_view::npos;
}

}  // namespace

WideString WideString::FromPath(const Path& path) {
    WideString out;
    out.buffer_ = path.Units();
    out.buffer_.push_back(u'\0');
    out.shownLength_ = path.Units().size();
    return out;
}

WideString WideString::FromBuffer(std::u16string buffer) {
    WideString out;
    out.buffer_ = std::move(buffer);
    out.shownLength_ = out.buffer_.size();
    return out;
}

std::string WideString::Debug() const {
    return "WideString(" + QuoteUtf16(std::u16string_view(buffer_).substr(0, shownLength_)) + ")";
}

std::vector<std::u16string> BuildUpdaterArguments(
    const LocatorConfig& config, const Path& package, bool silent, WaitTarget wait,
    uint32_t currentProcessId, bool restart, const std::vector<std::string>& restartArguments) {
    std::vector<std::u16string> args = {u"apply", u"--package", package.Units()};
    if (wait.tag != WaitTarget::Tag::NoWait) {
        const uint32_t id =
            wait.tag == WaitTarget::Tag::CurrentProcess ? currentProcessId : wait.processId;
        args.push_back(u"--waitPid");
        args.push_back(Wtf8ToUtf16(std::to_string(id)));
    }
    if (silent) args.push_back(u"--silent");
    if (!restart) args.push_back(u"--norestart");
    args.push_back(u"--root");
    args.push_back(config.rootDir.Units());
    args.push_back(u"--packageDir");
    args.push_back(config.packagesDir.Units());
    if (!restartArguments.empty()) {
        args.push_back(u"--");
        for (const std::string& arg : restartArguments) args.push_back(Wtf8ToUtf16(arg));
    }
    return args;
}

Result<std::u16string> BuildCommandLine(const Path& program,
                                        const std::vector<std::u16string>& arguments) {
    std::u16string line = u"\"";
    line += program.Units();
    line += u"\" ";
    for (const std::u16string& arg : arguments) {
        if (HoldsNul(arg)) return RuntimeError::Io(NulInTextError());
        AppendQuotedArgument(line, arg);
        line.push_back(u' ');
    }
    // The blank after the last piece gives way to the terminating NUL.
    line.back() = u'\0';
    return line;
}

std::vector<EnvEntry> ParseEnvironmentBlock(std::u16string_view block) {
    std::vector<EnvEntry> entries;
    size_t pos = 0;
    while (pos < block.size()) {
        size_t end = block.find(u'\0', pos);
        if (end == std::u16string_view::npos) end = block.size();
        const std::u16string_view entry = block.substr(pos, end - pos);
        if (entry.empty()) break;  // the block's terminating empty entry
        pos = end + 1;
        // A leading "=" belongs to the name (per-drive working folders are named "=C:").
        const size_t eq = entry.find(u'=', 1);
        if (eq == std::u16string_view::npos) continue;
        entries.push_back(
            {std::u16string(entry.substr(0, eq)), std::u16string(entry.substr(eq + 1))});
    }
    return entries;
}

Result<std::optional<std::u16string>> BuildEnvironmentBlock(const std::vector<EnvEntry>& entries) {
    std::u16string block;
    bool kept = false;
    for (const EnvEntry& entry : entries) {
        if (entry.name.empty() || entry.value.empty() || entry.name[0] == u'=') continue;
        if (HoldsNul(entry.name) || HoldsNul(entry.value)) {
            return RuntimeError::Io(NulInTextError());
        }
        block += entry.name;
        block.push_back(u'=');
        block += entry.value;
        block.push_back(u'\0');
        kept = true;
    }
    if (!kept) return std::optional<std::u16string>();
    block.push_back(u'\0');
    return std::optional<std::u16string>(std::move(block));
}

Result<LaunchPlan> PlanUpdaterLaunch(FileSystem& fs, const LocatorConfig& config,
                                     std::string_view fileName, bool silent, WaitTarget wait,
                                     uint32_t currentProcessId, bool restart,
                                     const std::vector<std::string>& restartArguments,
                                     std::u16string_view environmentBlock) {
    Path package = JoinPath(config.packagesDir, fileName);
    if (!fs.Exists(package)) {
        UPKIT_ERROR(kManagerTarget, "Package does not exist on disk: '" + PathDebug(package) + "'");
        return RuntimeError::FileNotFound(std::move(package));
    }

    const std::vector<std::u16string> args = BuildUpdaterArguments(
        config, package, silent, wait, currentProcessId, restart, restartArguments);

    // An updater path without a parent (a root, a bare drive) leaves the working folder to the
    // system: the updater then starts in this process's one.
    std::optional<WideString> workingDir;
    if (std::optional<Path> parent = ParentDir(config.updaterPath)) {
        workingDir = WideString::FromPath(*parent);
    }

    Result<std::optional<std::u16string>> environment =
        BuildEnvironmentBlock(ParseEnvironmentBlock(environmentBlock));
    if (!environment) return environment.take_error();

    Result<std::u16string> commandLine = BuildCommandLine(config.updaterPath, args);
    if (!commandLine) return commandLine.take_error();

    LaunchPlan plan{WideString::FromPath(config.updaterPath), std::move(workingDir),
                    WideString::FromBuffer(std::move(commandLine.value())), std::nullopt};
    if (std::optional<std::u16string>& block = environment.value(); block) {
        plan.environment = WideString::FromBuffer(std::move(*block));
    }
    return plan;
}

void LogLaunchPlan(const LaunchPlan& plan) {
    UPKIT_INFO(kProcessTarget, "About to launch: '" + plan.program.Debug() + "' in dir '" +
                                   (plan.workingDir ? "Some(" + plan.workingDir->Debug() + ")"
                                                    : std::string("None")) +
                                   "' with arguments: " + plan.commandLine.Debug());
    UPKIT_INFO(kProcessTarget, std::string("Environment block present: ") +
                                   (plan.environment ? "true" : "false") +
                                   ", flags: PROCESS_CREATION_FLAGS(" +
                                   std::to_string(kUpdaterCreationFlags) + ")");
}

IoError ProcessCreationError(uint32_t lastError) {
    const uint32_t code = lastError > 0 ? (0x80070000u | (lastError & 0xFFFFu)) : 0u;
    return IoError::FromOsCode(static_cast<int32_t>(code));
}

IoError NulInTextError() {
    return IoError::WithMessage(IoErrorKind::InvalidInput, "nul byte found in provided data");
}

}  // namespace upkit
