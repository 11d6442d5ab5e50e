// Peer names from wg-quick style configuration files: inside a [Peer] section,
// the last comment without '=' before the PublicKey line names the peer.
#include "topology/wg_discover.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "core/kernel_file.hpp"
#include "core/strbuf.hpp"
#include "core/text_lines.hpp"
#include "core/vis_text.hpp"
#include "topology/conf_file.hpp"

static bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

static void add_peer_name(const char *key_text, const char *pending)
{
    if (g_n_peer_names >= MAX_PEER_NAMES) return;
    PeerName &pn = g_peer_names[g_n_peer_names++];
    size_t k = 0;
    for (const char *p = key_text; *p && k < sizeof pn.key - 1; p++)
        if (!is_ws(*p)) pn.key[k++] = *p;
    pn.key[k] = '\0';
    // Cut to 47 first, then before the first blank: "alice laptop" names alice.
    size_t n = ::strnlen(pending, sizeof pn.name - 1);
    std::memcpy(pn.name, pending, n);
    pn.name[n] = '\0';
    pn.name[std::strcspn(pn.name, " \t")] = '\0';
    vis_inplace(pn.name);  // names are only ever shown
}

void wg_conf_line(WgConfState *st, char *raw)
{
    rstrip(raw);
    const char *line = skip_blanks(raw);
    if (line[0] == '[') {
        st->in_peer = strncasecmp(line, "[peer]", 6) == 0;
        st->pending[0] = '\0';
        return;
    }
    if (!st->in_peer) return;
    if (line[0] == '#') {
        const char *text = skip_blanks(line + 1);
        // A commented-out setting ("# PublicKey = ...") is never a name.
        if (text[0] != '\0' && !std::strchr(text, '='))
            std::snprintf(st->pending, sizeof st->pending, "%s", text);
        return;
    }
    if (strncasecmp(line, "publickey", 9) == 0) {
        const char *eq = std::strchr(line, '=');
        if (!eq) return;
        if (st->pending[0] != '\0') add_peer_name(skip_blanks(eq + 1), st->pending);
        st->pending[0] = '\0';
    }
}

static void wg_conf_from(LineSource *src)
{
    WgConfState cs;
    char line[512];  // longer lines are cut and their rest skipped
    while (ls_getline(src, line, sizeof line) >= 0) wg_conf_line(&cs, line);
}

void wg_conf_names_parse(std::string_view text)
{
    LineSource src = lines_of(text);
    wg_conf_from(&src);
}

bool wg_conf_names_load(const char *path)
{
    std::string text;
    if (!conf_read(path, &text)) return false;
    wg_conf_names_parse(text);
    return true;
}

void wg_peer_display_name(std::string_view key, char out[64])
{
    std::string_view name = key.substr(0, 12);
    for (int32_t i = 0; i < g_n_peer_names && i < MAX_PEER_NAMES; i++)
        if (key == g_peer_names[i].key) {
            name = g_peer_names[i].name;
            break;
        }
    copy_cut(out, 64, name);
    vis_inplace(out);
}
