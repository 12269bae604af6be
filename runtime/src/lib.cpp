// The C entry points. No exception and no internal fault may cross this surface: anything that
// escapes is reported as a fault, which ends the process.
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "app.h"
#include "log_setup.h"
#include "logging.h"
#include "misc.h"
#include "os/os.h"
#include "statics.h"
#include "upkit.h"

namespace upkit {
namespace {

std::string PointerDebug(const void* p) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return buffer;
}

}  // namespace
}  // namespace upkit

extern "C" void upkit_app_set_apply_on_start(bool apply) {
    try {
        std::unique_lock lock(upkit::OptionsLock());
        upkit::Options().applyOnStart = apply;
    } catch (const std::exception& e) {
        upkit::RaiseFault(std::string_view(e.what()), __FILE__, __LINE__);
    } catch (...) {
        upkit::RaiseFault(std::nullopt, __FILE__, __LINE__);
    }
}

extern "C" void upkit_app_run(void* p_user_data) {
    using namespace upkit;
    // Until the call returns, a fault of any kind, on any thread, ends the process with the fault
    // exit code (and a record once the log is set up), never with a dialog: a hardware exception
    // nothing handles, and a terminate of the C++ runtime, which stays a fault afterwards too.
    HardwareFaultScope hardwareFaults(&RaiseHardwareFault);
    HandleTerminateAsFault();
    try {
        // However broken the installation, one start waits for failing file operations about two
        // seconds in all: the silent location of the log set-up included.
        RetryBudgetScope retryBudget;
        UPKIT_TRACE("upkit_c", "upkit_app_run(p_user_data: " + PointerDebug(p_user_data) + ")");
        {
            std::shared_lock lock(OptionsLock());
            UpkitApp request = BuildStartupRequest(Options(), ProcessCommandLine(), p_user_data);
            SetUpRuntimeLog(request.locatorOverride);
            Run(request);
        }
        UPKIT_TRACE("upkit_c", "upkit_app_run() => ()");
    } catch (const std::exception& e) {
        RaiseFault(std::string_view(e.what()), __FILE__, __LINE__);
    } catch (...) {
        RaiseFault(std::nullopt, __FILE__, __LINE__);
    }
}
