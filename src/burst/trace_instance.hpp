// The tracefs side of a capture: our own trace instance, the kfree_skb trigger
// and event switches in it, and their removal from any exit path.
#pragma once
#include <cstddef>

// Where tracefs may be mounted, tried in this order (under the fixture root).
inline constexpr const char *TRACEFS_CANDIDATES[] = {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"};
// The directory of trace instances under a tracefs root.
constexpr const char *TRACE_INSTANCES = "instances";
// "<dir>/events/skb/kfree_skb/<file>" (trigger, enable) for a tracefs root or
// instance; false when it did not fit out.
bool kfree_skb_file(char *out, size_t size, const char *dir, const char *file);

constexpr int TRACE_BUFFER_KB = 512;  // per CPU, in our own instance

// Attaches the stack trigger and enables the event (drop reasons) in g_tracedir.
void trace_attach();
// Removes both again; 0 when the trigger file no longer lists a stacktrace trigger.
int trace_detach();
// Empties the instance's buffer so a capture's files hold that burst only. The
// shared buffer of the tracefs root (kernels without instances) is left alone.
void trace_clear();
// "%s/trace" of g_tracedir.
const char *trace_file();
