// The OSPF neighbour section that ends page 1: adjacencies as the BIRD client
// reports them, and every expected neighbour without one.
#pragma once

// Most neighbour lines shown (and alerted) per sample; a longer table ends with
// one line counting the rest, so a runaway client cannot flood page and alerts.
constexpr int OSPF_MAX_SHOWN = 64;

void ospf_check();
