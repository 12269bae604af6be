// The installed application's start-up: the second half of upkit_app_run, after the installer and
// updater hooks. It opens the installation through the update manager, registers the application's
// identity with the shell, consumes the start-up markers, hands a pending update to the updater
// when allowed, removes outdated packages and fires the marker hooks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app.h"
#include "locator.h"
#include "manifest.h"
#include "misc_path.h"

namespace upkit {

// Runs the whole installed-application start-up for the request. Every failure is logged and
// start-up goes on; only a successful hand-over to the updater ends the process (exit code 0).
void RunInstalledStartup(UpkitApp& request);
// The same on the given file-system services for locating the installation.
void RunInstalledStartup(UpkitApp& request, FileSystem& fs);

// The identity the process registers with the shell: the manifest's shortcutAumid, else
// "upkit." followed by its id.
std::string AppUserModelIdFor(const PackageManifest& manifest);

// The identity as the system takes it: UTF-16 with every NUL character left out, then one
// terminating NUL.
std::u16string AppUserModelIdBuffer(std::string_view identity);

}  // namespace upkit
