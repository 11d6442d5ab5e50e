#include "overview/wg_dump.hpp"

#include <cstddef>

#include "core/run_tool.hpp"

// Digits after an optional sign; what follows them is ignored and text without
// digits is 0. Out-of-range values saturate instead of wrapping, so a garbled
// handshake cannot turn into a wildly wrong age.
static int64_t parse_signed(std::string_view s)
{
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    uint64_t mag = 0;
    const uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++) {
        uint64_t d = static_cast<uint64_t>(s[i] - '0');
        mag = mag > (limit - d) / 10 ? limit : mag * 10 + d;
    }
    if (!neg) return static_cast<int64_t>(mag);
    return mag == (uint64_t{1} << 63) ? INT64_MIN : -static_cast<int64_t>(mag);
}

static uint64_t parse_unsigned(std::string_view s)
{
    uint64_t v = 0;
    for (size_t i = 0; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++) {
        uint64_t d = static_cast<uint64_t>(s[i] - '0');
        v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    }
    return v;
}

bool wg_dump_parse_peer(std::string_view line, WgDumpPeer *out)
{
    std::string_view f[8];
    int n = 0;
    size_t i = 0;
    while (n < 8) {
        while (i < line.size() && line[i] == '\t') i++;
        if (i >= line.size()) break;
        size_t start = i;
        while (i < line.size() && line[i] != '\t') i++;
        f[n++] = line.substr(start, i - start);
    }
    if (n < 7) return false;
    out->key = f[0];
    out->endpoint = f[2];
    out->handshake = parse_signed(f[4]);
    out->rx = parse_unsigned(f[5]);
    out->tx = parse_unsigned(f[6]);
    return true;
}

bool wg_dump_split_device(std::string_view line, std::string_view *dev, std::string_view *rest)
{
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return false;
    *dev = line.substr(0, tab);
    *rest = line.substr(tab + 1);
    return true;
}

int wg_dump_start(ToolRun *run, const char *dev)
{
    // No shell: a device name is passed to wg as one argument, whatever it holds.
    const char *const argv[] = {"wg", "show", dev, "dump", nullptr};
    return tool_start(run, argv);
}

HsState wg_handshake_state(int64_t handshake, int64_t now, int64_t *age)
{
    *age = 0;
    if (handshake == 0) return HS_NEVER;
    // A garbled handshake far in the past must not overflow; it is just stale.
    if (__builtin_sub_overflow(now, handshake, age)) *age = INT64_MAX;
    if (*age > WG_FRESH_SECS) return HS_STALE;
    return *age < -WG_CLOCK_SKEW_SECS ? HS_AHEAD : HS_FRESH;
}
