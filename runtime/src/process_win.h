// Starting the installation's updater program ("Update.exe") with the "apply" command: the plan of
// process_plan.h, its two log lines, then the system's StartProcess. Portable: the native port
// plans and logs the same way and then reports that it cannot start processes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "locator.h"
#include "os/os.h"
#include "process_plan.h"

namespace upkit {

// Starts the updater for one package of the locator's packages directory and returns once the
// process exists, without waiting for it. Nothing is left open or running when it fails.
Status LaunchUpdater(FileSystem& fs, const Locator& locator, std::string_view fileName, bool silent,
                     WaitTarget wait, bool restart,
                     const std::vector<std::string>& restartArguments);

}  // namespace upkit
