// Event log of the probe plug-in: a separate shared library, so that it
// outlives the plug-in and a test can read it (Python through ctypes).
// Thread-safe.
#pragma once

#define VORN_PROBE_API extern "C" __attribute__((visibility("default")))

// Appends one event.
VORN_PROBE_API void vorn_probe_record(const char* event);
// All events so far, in order, separated by ','. Valid until the next call of
// any function here.
VORN_PROBE_API const char* vorn_probe_events();
VORN_PROBE_API void vorn_probe_clear();
