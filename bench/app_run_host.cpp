// A host program for the start-up benchmark: placed in an installation's "current" folder, it
// calls upkit_app_run as the launcher does, then again and again, timing each call in-process, so
// that the runtime's own cost is seen without the noise of starting a process.
//
// The first call sets up the log (its location of the installation is silent, no logger exists
// yet); from the second call on the logger is installed, so that location writes its lines too.
//
// Environment:
//   ZELT_BENCH_OUT    file to write "first=", "calls=" and one "call=" line per later call, in
//                     microseconds (required)
//   ZELT_BENCH_CALLS  calls after the first (default 200)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "upkit.h"

namespace {

double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1e6 /
           static_cast<double>(frequency.QuadPart);
}

double TimeOneRun(LARGE_INTEGER frequency) {
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    upkit_app_run(nullptr);
    QueryPerformanceCounter(&end);
    return Microseconds(start, end, frequency);
}

}  // namespace

int wmain() {
    const wchar_t* out = _wgetenv(L"ZELT_BENCH_OUT");
    if (out == nullptr || *out == L'\0') return 2;
    const wchar_t* callsText = _wgetenv(L"ZELT_BENCH_CALLS");
    const int calls = callsText ? std::max(1, _wtoi(callsText)) : 200;

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    upkit_app_set_apply_on_start(false);
    const double first = TimeOneRun(frequency);
    std::vector<double> later;
    later.reserve(static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) later.push_back(TimeOneRun(frequency));

    FILE* file = _wfopen(out, L"wb");
    if (file == nullptr) return 1;
    std::fprintf(file, "first=%.1f\ncalls=%d\n", first, calls);
    for (const double us : later) std::fprintf(file, "call=%.1f\n", us);
    std::fclose(file);
    return 0;
}
