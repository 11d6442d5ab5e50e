// The tracefs side of a capture: our own trace instance, the kfree_skb trigger
// and event switches in it, and their removal from any exit path.
#pragma once

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
