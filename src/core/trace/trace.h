#pragma once
// Tracing of a deliverable's socket calls and library trace lines through the external
// trace library, which is loaded on the first TraceEnable and accepted only in a matching
// version. The library is found through $CV_TRACE_LIBRARY (a path, the only one tried
// then), else as libcvtrace.so beside the module that carries the binding (where the
// deliverables and the trace library are installed together), else on the normal
// library path.
#include <cstdint>

// fileTrace flags passed to TraceEnable.
inline constexpr int32_t kTraceInformation = 0;
inline constexpr int32_t kTraceErrors = 1;
inline constexpr int32_t kTraceWarnings = 2;
inline constexpr int32_t kTraceHexDump = 4;
inline constexpr int32_t kTraceProcess = 4096;

inline constexpr const char* kTraceLibraryVariable = "CV_TRACE_LIBRARY";
inline constexpr const char* kTraceLibraryName = "libcvtrace.so";

// The start entry's result, or 0 when tracing cannot be started.
int32_t TraceEnable(const char* file, int32_t flags);
// The stop entry's result, or 0 when tracing is not started.
int32_t TraceDisable();
void TraceDumpData(const void* data, int32_t length);
// printf-style trace line (at most 1,023 characters); the write entry's result, or 0.
int32_t TracePrintf(int32_t flags, const char* format, ...) __attribute__((format(printf, 2, 3)));
