// Package archives from bytes: opening and reading the manifest never misbehave, libzip's own
// memory source and the runtime's file source give the same outcome, and a second read of the
// same bundle gives the same outcome as the first.
#include <zip.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "bundle.h"
#include "logging.h"
#include "version.h"

namespace {

class Discard final : public upkit::Logger {
    void Log(upkit::Level, std::string_view, std::string_view) override {}
};

std::string Outcome(const upkit::Result<upkit::PackageManifest>& result) {
    if (!result.ok()) return result.error().Debug();
    const auto& m = result.value();
    return m.id + "|" + upkit::VersionText(m.version) + "|" + m.mainExe + "|" + m.title;
}

// Opens and reads the manifest twice; both reads must agree.
std::string ReadTwice(upkit::Result<upkit::PackageBundle> bundle) {
    if (!bundle.ok()) {
        if (bundle.error().GetKind() != upkit::RuntimeError::Kind::Zip) std::abort();
        return "open failed";
    }
    const std::string first = Outcome(upkit::ReadBundleManifest(bundle.value()));
    const std::string second = Outcome(upkit::ReadBundleManifest(bundle.value()));
    if (first != second) std::abort();
    return first;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    upkit::InstallLogger(std::make_unique<Discard>());
    upkit::SetMaxLevel(upkit::Level::Trace);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string ours = ReadTwice(upkit::OpenBundle(upkit::MemoryFile(bytes)));

    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, nullptr);
    if (source == nullptr) std::abort();
    const std::string libzips = ReadTwice(upkit::OpenBundle(source));
    if (ours != libzips) std::abort();
    return 0;
}
