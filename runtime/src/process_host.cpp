// Native stand-in: plans and logs an updater start exactly as on Windows, from this process's
// environment, and then reports that it cannot start processes here.
#include <unistd.h>

#include "process_win.h"
#include "text.h"

extern char** environ;

namespace upkit {

namespace {

std::u16string CurrentEnvironmentBlock() {
    std::u16string block;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        block += Wtf8ToUtf16(*entry);
        block.push_back(u'\0');
    }
    block.push_back(u'\0');
    return block;
}

}  // namespace

Status LaunchUpdater(const Locator& locator, std::string_view fileName, bool silent,
                     WaitTarget wait, bool restart,
                     const std::vector<std::string>& restartArguments) {
    Result<LaunchPlan> planned =
        PlanUpdaterLaunch(locator.config, fileName, silent, wait, static_cast<uint32_t>(getpid()),
                          restart, restartArguments, CurrentEnvironmentBlock());
    if (!planned) return planned.take_error();
    LogLaunchPlan(planned.value());
    return RuntimeError::Io(IoError::WithMessage(
        IoErrorKind::Unsupported, "starting the updater is not supported in the native build"));
}

}  // namespace upkit
