// One per-sample reload of the kernel counter table from this machine's /proc/net.
#include <benchmark/benchmark.h>

#include "overview/nst_table.hpp"

static void bm_nst_refresh(benchmark::State &state)
{
    for (auto _ : state) nst_refresh();
}
BENCHMARK(bm_nst_refresh);
