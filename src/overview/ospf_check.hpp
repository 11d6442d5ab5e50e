// The OSPF neighbour section that ends page 1: adjacencies as the BIRD client
// reports them, and every expected neighbour without one.
#pragma once

// Most neighbour lines shown (and alerted one by one) per sample; a longer table
// ends with one line and one alert counting the rest, so a runaway client cannot
// flood page and alerts, and no neighbour that is down goes unreported.
constexpr int OSPF_MAX_SHOWN = 256;

void ospf_check();
