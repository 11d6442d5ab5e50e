// Page 1: WireGuard, UDP, IP stack, softnet, conntrack, interfaces and OSPF.
#pragma once

void render_overview();
