// Root, and the procfs and sysfs files the pages' readers open.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "check/check_report.hpp"
#include "core/kernel_file.hpp"
#include "core/unique_fd.hpp"
#include "gate/mw_maps.hpp"
#include "overview/conntrack.hpp"
#include "overview/nst_table.hpp"
#include "overview/softnet_stat.hpp"

namespace {

struct KFile {
    const char *path, *needed_by;
};
constexpr KFile FILES[] = {
    {PROC_NET_SNMP, "IP, ICMP and UDP counters of page 1"},
    {PROC_NET_NETSTAT, "IpExt and TcpExt counters of page 1"},
    {PROC_NET_SNMP6, "IPv6 counters of page 1 (IPv6 disabled?)"},
    {PROC_NET_SOFTNET, "softnet drops and squeezes"},
    {CONNTRACK_COUNT, "conntrack fill: load it with modprobe nf_conntrack"},
    {CONNTRACK_MAX, "conntrack fill: load it with modprobe nf_conntrack"},
    {CPU_POSSIBLE, "gate's per-CPU counters"},
};

// Opened and read as the readers do; false with the reason in why.
bool readable(const char *kpath, char *why, size_t n)
{
    UniqueFd fd(kfile_open(kpath));
    char b[64];
    if (fd.fd < 0 || ::read(fd.fd, b, sizeof b) < 0) {
        std::snprintf(why, n, "%s", std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

void check_root(Check *c)
{
    if (::geteuid() == 0)
        check_line(c, CHECK_OK, "root", "running as root");
    else
        check_line(c, CHECK_FAIL, "root", "not root: conntrack, WireGuard peers, the burst catcher and the gate need it");
}

void check_kernel_files(Check *c)
{
    char why[128];
    for (const KFile &f : FILES) {
        if (readable(f.path, why, sizeof why))
            check_line(c, CHECK_OK, f.path, "readable");
        else
            check_line(c, CHECK_FAIL, f.path, "%s; needed for the %s", why, f.needed_by);
    }
}
