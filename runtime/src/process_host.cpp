// Native stand-in: plans and logs an updater start exactly as on Windows, from this process's
// environment, and then reports that it cannot start processes here.
#include <unistd.h>

#include "os/os.h"
#include "process_win.h"
#include "text.h"

namespace upkit {

namespace {}  // namespace

Status LaunchUpdater(const Locator& locator, std::string_view fileName, bool silent,
                     WaitTarget wait, bool restart,
                     const std::vector<std::string>& restartArguments) {
    Result<LaunchPlan> planned =
        PlanUpdaterLaunch(locator.config, fileName, silent, wait, static_cast<uint32_t>(getpid()),
                          restart, restartArguments, EnvironmentBlock());
    if (!planned) return planned.take_error();
    LogLaunchPlan(planned.value());
    return RuntimeError::Io(IoError::WithMessage(
        IoErrorKind::Unsupported, "starting the updater is not supported in the native build"));
}

}  // namespace upkit
