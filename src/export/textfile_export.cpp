#include "export/textfile_export.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/alerts.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "core/vis_text.hpp"
#include "counters/counters.hpp"
#include "export/export_areas.hpp"
#include "export/prom_text.hpp"
#include "export/tf_notes.hpp"

#ifndef TARNWATCH_VERSION
#define TARNWATCH_VERSION "unknown"
#endif

// Where the temporary file is while it is written; emptied once renamed away.
static char g_tf_tmp[4096];

const Counter *tf_counter(const char *key)
{
    for (int32_t i = 0; i < g_nctrs; i++)
        if (g_ctrs[i].seen && std::strcmp(g_ctrs[i].name, key) == 0) return &g_ctrs[i];
    return nullptr;
}

void tf_build(StrBuf *out, const EthDev *nics, int32_t n_nics)
{
    tf_family(out, "tarnwatch_build_info", "gauge", "Always 1; the label version is the monitor's version.");
    tf_labels_begin();
    tf_label("version", TARNWATCH_VERSION);
    tf_value_u(1);
    tf_export_interfaces(out);
    tf_export_driver_stats(out, nics, n_nics);
    tf_export_kernel(out);
    tf_export_wireguard(out);
    tf_export_ospf(out);
    tf_export_bursts(out);
    tf_export_gate(out);
    tf_single_u(out, "tarnwatch_alerts", "gauge", "Alerts raised in the last sample (the alert line).",
                static_cast<uint64_t>(n_alerts > 0 ? n_alerts : 0));
    tf_single_u(out, "tarnwatch_last_sample_timestamp_seconds", "gauge", "When the last sample was taken.",
                static_cast<uint64_t>(g_last_ts));
}

// The whole text into fd; 0 or the errno.
static int write_all(int fd, const char *text, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t r = ::write(fd, text + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r < 0 ? errno : EIO;
        done += static_cast<size_t>(r);
    }
    return 0;
}

int tf_write_file(const char *path, const char *text, size_t len)
{
    const char *slash = std::strrchr(path, '/');
    int dirlen = slash ? static_cast<int>(slash - path + 1) : 0;
    const char *base = slash ? slash + 1 : path;
    if (!*base) {
        errno = EISDIR;
        return -1;
    }
    // A dot name without the .prom ending: the collector skips it while it is written.
    int w = std::snprintf(g_tf_tmp, sizeof g_tf_tmp, "%.*s.%s.XXXXXX", dirlen, path, base);
    if (w < 0 || static_cast<size_t>(w) >= sizeof g_tf_tmp) {
        g_tf_tmp[0] = '\0';
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = ::mkostemp(g_tf_tmp, O_CLOEXEC);
    if (fd < 0) {
        g_tf_tmp[0] = '\0';
        return -1;
    }
    int saved = 0;
    if (::fchmod(fd, 0644) != 0) saved = errno;  // the exporter runs as another user
    if (saved == 0) saved = write_all(fd, text, len);
    if (::close(fd) != 0 && saved == 0) saved = errno;
    if (saved == 0 && ::rename(g_tf_tmp, path) != 0) saved = errno;
    if (saved != 0) ::unlink(g_tf_tmp);
    g_tf_tmp[0] = '\0';
    errno = saved;
    return saved == 0 ? 0 : -1;
}

void tf_cleanup_signal_safe()
{
    if (g_tf_tmp[0]) ::unlink(g_tf_tmp);
}

int tf_after_sample(const EthDev *nics, int32_t n_nics, int *err)
{
    static StrBuf text;
    if (!text.buf) sb_init(&text, 64 * 1024);
    sb_clear(&text);
    tf_build(&text, nics, n_nics);
    tf_forget_notes();
    int r = tf_write_file(g_textfile, text.buf, text.len);
    *err = r == 0 ? 0 : errno;
    if (r != 0) alert("textfile %s: %s", vis(g_textfile).s, std::strerror(*err));
    return r;
}
