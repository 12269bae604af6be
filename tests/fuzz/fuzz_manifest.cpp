// Manifest documents: reading never misbehaves, and whatever it accepts passed the required
// checks. Logging is on at every level so that the log texts are built as well.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "logging.h"
#include "manifest.h"
#include "version.h"

namespace {
class Discard final : public upkit::Logger {
    void Log(upkit::Level, std::string_view, std::string_view) override {}
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    upkit::InstallLogger(std::make_unique<Discard>());
    upkit::SetMaxLevel(upkit::Level::Trace);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto manifest = upkit::ReadManifestFromText(text);
    if (!manifest.ok()) {
        const auto kind = manifest.error().GetKind();
        if (kind != upkit::RuntimeError::Kind::Semver &&
            kind != upkit::RuntimeError::Kind::InvalidPackage) {
            std::abort();
        }
        return 0;
    }
    const auto& m = manifest.value();
    if (m.id.empty() || m.mainExe.empty() || m.title.empty() ||
        upkit::IsDefaultVersion(m.version)) {
        std::abort();
    }
    return 0;
}
