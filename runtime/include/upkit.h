/* The update runtime's C surface. */
#ifndef UPKIT_H
#define UPKIT_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A host hook for one start-up event. `version` is the SemVer 2.0.0 text of the version concerned,
 * NUL-terminated UTF-8, owned by the runtime and valid only during the call. */
typedef void (*VersionHookFn)(void* userData, const char* version);

/* Receives every log record the runtime emits. `level` is "error", "warn", "info", "debug" or
 * "trace"; `message` is the formatted record, NUL-terminated UTF-8, valid only during the call. */
typedef void (*LogCallbackFn)(void* userData, const char* level, const char* message);

/* Whether a pending update found at start-up is handed to the updater at once (default: yes).
 * Waits while upkit_app_run is running. */
void upkit_app_set_apply_on_start(bool apply);

/* Runs the runtime's whole start-up synchronously: log set-up, the installer and updater hooks
 * (which end the process with exit code 0), then the installed application's start-up. Returns
 * unless the process was ended. Never reports an error to the caller. */
void upkit_app_run(void* p_user_data);

#ifdef __cplusplus
}
#endif

#endif /* UPKIT_H */
