// The gate: bpffs, the pinned maps as page 4's reader takes them, and the
// daemon's socket as the console connects to it. No command is sent.
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "check/check_report.hpp"
#include "core/vis_text.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"

namespace {

constexpr unsigned long BPF_FS_MAGIC_NUMBER = 0xcafe4a11UL;

// The pin directory's parent: where bpffs must be mounted.
std::string bpffs_dir()
{
    std::string d = mw_pin_dir();
    size_t slash = d.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : d.substr(0, slash);
}

void bpffs(Check *c, CheckStatus missing)
{
    const std::string dir = bpffs_dir();
    struct statfs fs;
    if (::statfs(dir.c_str(), &fs) == 0 && static_cast<unsigned long>(fs.f_type) == BPF_FS_MAGIC_NUMBER)
        check_line(c, CHECK_OK, "bpffs", "mounted at %s", vis(dir.c_str()).s);
    else
        check_line(c, missing, "bpffs", "not mounted at %s: mount -t bpf bpf %s", vis(dir.c_str()).s,
                   vis(dir.c_str()).s);
}

void pins(Check *c, CheckStatus missing)
{
    mw_open_maps();
    char why[128];
    const char *bad = mw_maps_missing(why, sizeof why);
    mw_close_maps();
    if (!bad)
        check_line(c, CHECK_OK, "gate pins", "%s: 4 maps open", vis(mw_pin_dir()).s);
    else
        check_line(c, missing, "gate pins", "%s/%s: %s; is moatwalld running? (systemctl start moatwall)",
                   vis(mw_pin_dir()).s, bad, why);
}

void socket(Check *c, CheckStatus missing)
{
    const VisText sock = vis(mw_sock_path());
    errno = 0;
    if (mw_connect() == 0)
        check_line(c, CHECK_OK, "gate daemon socket", "%s accepts connections", sock.s);
    else
        check_line(c, missing, "gate daemon socket", "%s: %s; start it with systemctl start moatwall", sock.s,
                   errno ? std::strerror(errno) : "no connection");
    mw_drop_conn();
}

}  // namespace

void check_gate(Check *c)
{
    struct stat sb;
    bool sock_there = ::stat(mw_sock_path(), &sb) == 0;
    bool pins_there = ::access(mw_pin_dir(), F_OK) == 0;
    // Without any trace of the gate, page 4 shows it offline and nothing is
    // broken; half a gate (a socket without pins, pins without a daemon) is.
    CheckStatus missing = sock_there || pins_there ? CHECK_FAIL : CHECK_NOTE;
    bpffs(c, missing);
    pins(c, missing);
    socket(c, missing);
}
