// One per-sample build of the Interfaces page with two NICs: a veth pair in a
// namespace of its own, so the two statistics requests per sample are real.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/colors.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "counters/counters.hpp"
#include "ifdetail/ethdev_discover.hpp"
#include "ifdetail/ifdetail_model.hpp"
#include "ifdetail/page_ifdetail.hpp"
#include "topology/ifaces.hpp"

static void bm_page_ifdetail_two_nics(benchmark::State &state)
{
    // Back to the machine's namespace afterwards, for the benchmarks that read /proc/net.
    const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0 || ::unshare(CLONE_NEWNET) != 0 ||
        std::system("ip link add v0 numrxqueues 4 numtxqueues 4 type veth peer name v1 numrxqueues 4 numtxqueues 4"
                    " && ip link set v0 up && ip link set v1 up") != 0) {
        state.SkipWithError("needs root for a network namespace with a veth pair");
        return;
    }
    g_ethsock = ::socket(AF_INET, SOCK_DGRAM, 0);
    colors_set(true);
    buffers_setup();
    static EthDev nics[MAX_NICS];
    ethdev_discover(&nics[0], "v0");
    ethdev_discover(&nics[1], "v1");
    add_iface("v0");
    add_iface("v1");
    for (auto _ : state) {
        sb_clear(&PAGES[1]);
        ifdetail_collect(nics, 2);
        render_interfaces(nics, 2);
        ctr_roll();
    }
    state.counters["stats_per_nic"] = nics[0].n_stats;
    ::setns(home, CLONE_NEWNET);
    ::close(home);
}
BENCHMARK(bm_page_ifdetail_two_nics);
