#include <windows.h>

#include "os/os.h"
#include "process_win.h"

namespace upkit {

namespace {

// The environment exactly as the system hands it out, terminating empty entry included. The system
// block is released before anything is built from the copy.

wchar_t* W(char16_t* s) {
    return reinterpret_cast<wchar_t*>(s);
}
const wchar_t* W(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}

}  // namespace

Status LaunchUpdater(const Locator& locator, std::string_view fileName, bool silent,
                     WaitTarget wait, bool restart,
                     const std::vector<std::string>& restartArguments) {
    Result<LaunchPlan> planned =
        PlanUpdaterLaunch(locator.config, fileName, silent, wait, GetCurrentProcessId(), restart,
                          restartArguments, EnvironmentBlock());
    if (!planned) return planned.take_error();
    LaunchPlan& plan = planned.value();
    LogLaunchPlan(plan);

    // Only the size is set: no window settings and no standard handles for the updater.
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof info);

    const BOOL created = CreateProcessW(
        nullptr, W(plan.commandLine.Data()), nullptr, nullptr, FALSE, kUpdaterCreationFlags,
        plan.environment ? static_cast<void*>(plan.environment->Data()) : nullptr,
        plan.workingDir ? W(plan.workingDir->Data()) : nullptr, &startup, &info);
    if (!created) return RuntimeError::Io(ProcessCreationError(GetLastError()));

    CloseHandle(info.hThread);
    if (info.hProcess != nullptr && info.hProcess != INVALID_HANDLE_VALUE) {
        CloseHandle(info.hProcess);
    }
    return Ok();
}

}  // namespace upkit
