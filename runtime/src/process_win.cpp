#include "process_win.h"

#include <utility>

namespace upkit {

Status LaunchUpdater(FileSystem& fs, const Locator& locator, std::string_view fileName, bool silent,
                     WaitTarget wait, bool restart,
                     const std::vector<std::string>& restartArguments) {
    Result<LaunchPlan> planned =
        PlanUpdaterLaunch(fs, locator.config, fileName, silent, wait, CurrentProcessId(), restart,
                          restartArguments, EnvironmentBlock());
    if (!planned) return planned.take_error();
    LaunchPlan& plan = planned.value();
    LogLaunchPlan(plan);

    std::optional<std::u16string> environment;
    if (plan.environment) environment = plan.environment->Buffer();
    std::optional<std::u16string> workingDir;
    if (plan.workingDir) workingDir = plan.workingDir->Buffer();
    IoResult<Unit> started = StartProcess(plan.commandLine.Buffer(), environment, workingDir);
    if (!started) {
        // The system's refusal is reported as the HRESULT wrapping its code.
        IoError error = started.take_error();
        if (error.IsOs()) error = ProcessCreationError(static_cast<uint32_t>(error.OsCode()));
        return RuntimeError::Io(std::move(error));
    }
    return Ok();
}

}  // namespace upkit
