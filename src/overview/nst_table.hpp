// The kernel's SNMP-style protocol counters of the current sample.
#pragma once

// Per-sample reload of /proc/net/snmp, /proc/net/netstat and /proc/net/snmp6.
void nst_refresh();
