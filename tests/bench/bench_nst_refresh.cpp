// One per-sample reload of the kernel counter table from this machine's /proc/net.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "core/fsroot.hpp"
#include "overview/nst_table.hpp"

static void bm_nst_refresh(benchmark::State &state)
{
    fsroot_set("");
    for (auto _ : state) {
        nst_refresh();
        benchmark::DoNotOptimize(g_nst_n);
    }
    state.counters["entries"] = g_nst_n;
    state.counters["capacity"] = g_nst_cap;
}
BENCHMARK(bm_nst_refresh);

static void bm_nst_get_last(benchmark::State &state)
{
    nst_refresh();
    const char *last = g_nst_n ? g_nst[g_nst_n - 1].name : "";
    uint64_t v = 0;
    for (auto _ : state) benchmark::DoNotOptimize(nst_get(last, &v));
}
BENCHMARK(bm_nst_get_last);

// The parsing share alone: the same files captured once, parsed from memory.
static std::string slurp(const char *path)
{
    std::string s;
    char buf[4096];
    FILE *f = std::fopen(path, "r");
    for (size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    if (f) std::fclose(f);
    return s;
}

static void bm_nst_parse_in_memory(benchmark::State &state)
{
    std::string snmp = slurp("/proc/net/snmp"), netstat = slurp("/proc/net/netstat"), snmp6 = slurp("/proc/net/snmp6");
    for (auto _ : state) {
        g_nst_n = 0;
        nst_parse_paired(snmp);
        nst_parse_paired(netstat);
        nst_parse_snmp6(snmp6);
        benchmark::DoNotOptimize(g_nst_n);
    }
    state.counters["entries"] = g_nst_n;
}
BENCHMARK(bm_nst_parse_in_memory);
