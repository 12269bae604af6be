#include "app_startup.h"

#include <memory>
#include <vector>

#include "locator_packages.h"
#include "logging.h"
#include "manager.h"
#include "os/os.h"
#include "text.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::app";

}  // namespace

std::string AppUserModelIdFor(const PackageManifest& manifest) {
    if (!manifest.shortcutAumid.empty()) return manifest.shortcutAumid;
    return "upkit." + manifest.id;
}

std::u16string AppUserModelIdBuffer(std::string_view identity) {
    std::u16string units = Wtf8ToUtf16(identity);
    std::erase(units, u'\0');
    units.push_back(u'\0');
    return units;
}

void RunInstalledStartup(UpkitApp& request) {
    RunInstalledStartup(request, SystemFileSystem());
}

void RunInstalledStartup(UpkitApp& request, FileSystem& fs) {
    Result<ManagerHandle> created =
        CreateManager(std::make_unique<NoneSource>(), std::nullopt, request.locatorOverride, fs);
    if (!created) {
        UPKIT_ERROR(kTarget, "UpkitApp: Error loading manager/locator: " + created.error().Debug());
        return;
    }
    const ManagerHandle manager = std::move(created.value());
    const Locator& locator = manager->locator();

    const std::string identity = AppUserModelIdFor(locator.manifest);
    UPKIT_INFO(kTarget, "Setting current process explicit AppUserModelID to '" + identity + "'");
    SetProcessAppUserModelId(AppUserModelIdBuffer(identity));

    const Version installed = locator.manifest.version;
    const std::vector<LocalPackage> packages = FindLocalPackages(fs, locator.config.packagesDir);
    const std::optional<size_t> pending = SelectPendingUpdate(packages, installed);

    // Both markers are removed whether or not they were set, so that nothing started later
    // inherits them.
    const bool firstRun = EnvVarIsSet(u"UPKIT_FIRSTRUN");
    RemoveEnvVar(u"UPKIT_FIRSTRUN");
    const bool restarted = EnvVarIsSet(u"UPKIT_RESTART");
    RemoveEnvVar(u"UPKIT_RESTART");

    // Right after an update restart the pending package is the one just applied or one the
    // updater chose not to apply; either way it is not handed over again.
    if (pending && !restarted && request.applyOnStart) {
        const UpdateAsset asset = AssetFromLocalPackage(fs, packages[*pending]);
        Status applied = ApplyAfterExit(*manager, asset.fileName, false, true, request.args);
        if (applied) EndProcess(0);  // the updater waits for this process to end
        UPKIT_ERROR(kTarget, "UpkitApp: Error applying pending updates on startup: " +
                                 applied.error().Debug());
    }

    for (const LocalPackage& package : packages) {
        const Version& version = package.manifest.version;
        if (VersionEquals(version, installed)) continue;
        if (pending && VersionEquals(version, packages[*pending].manifest.version)) continue;
        UPKIT_INFO(kTarget, "Removing old package: " + PathDebug(package.path));
        // A file another program holds stays; the start goes on.
        (void)fs.RemoveFile(package.path);
    }

    if (firstRun) FireHook(request.onFirstRun, installed);
    if (restarted) FireHook(request.onRestarted, installed);
}

}  // namespace upkit
