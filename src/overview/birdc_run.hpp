// The BIRD client as -B names it: whether it is there, and its neighbour
// listing. Page 1's OSPF section and --check run it the same way.
#pragma once

struct ToolRun;

enum BirdcClient { BIRDC_ABSENT, BIRDC_PRESENT, BIRDC_TIMED_OUT };

// Whether the shell finds the client (command -v).
BirdcClient birdc_client_check();
// Starts "<client> show ospf neighbors" with its errors on the same output;
// false when no run started (run->timed_out then tells a time-out).
bool birdc_show_start(ToolRun *run);
