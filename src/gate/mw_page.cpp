#include "gate/mw_page.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/colors.hpp"
#include "core/keys.hpp"
#include "core/screen.hpp"
#include "core/settings.hpp"
#include "gate/mw_client.hpp"
#include "gate/mw_maps.hpp"

int32_t g_mw_force_redisc = 0;

const MwPortPreset MW_PORT_PRESETS[8] = {
    {23, "telnet scan"},
    {445, "smb"},
    {3389, "rdp"},
    {1433, "mssql"},
    {161, "snmp scan"},
    {8291, "winbox scan"},
    {5060, "sip scan (safe: Telnyx trunk is registering)"},
    {0, "custom port..."},
};
const char *const MW_NIC_ACTIONS[4] = {"move moatwall to this NIC", "set as tarnwatch WAN",
                                       "set as tarnwatch LAN", "cancel"};

int g_mw_mode = 0;
int g_mw_pane = 0;
int g_mw_sel = 0;
int g_mw_msel = 0;
char g_mw_in[48];
int g_mw_inlen = 0;
MwNic g_mw_nic[16];
int g_mw_nnic = 0;
int g_mw_nic_pick = 0;

// g_wan and g_lan point at the command line until the NIC menu replaces them.
static char g_mw_wan_copy[16];
static char g_mw_lan_copy[16];

static const char *marker_colour(bool on) { return on ? BOLD : DIM; }
static const char *marker(bool on) { return on ? ">" : " "; }

static const char *port_label(unsigned port)
{
    const char *label = "";
    for (const MwPortPreset &p : MW_PORT_PRESETS)
        if (p.port == port) label = p.label;
    return label;
}

static void render_nics(StrBuf *b)
{
    sb_addf(b, "\n%sNICs in this system (j/k, enter, esc)%s\n", BOLD, RST);
    for (int i = 0; i < g_mw_nnic; i++) {
        const MwNic &n = g_mw_nic[i];
        sb_addf(b, " %s%s %-14s %-10s %-6s ", marker_colour(i == g_mw_msel), marker(i == g_mw_msel), n.name,
                n.driver, n.state);
        if (n.speed > 0) sb_addf(b, "%ldMb ", static_cast<long>(n.speed));
        if (n.in_gate) sb_addf(b, "%s[gate]%s", GRN, RST);
        if (std::strcmp(n.name, g_wan) == 0) sb_addf(b, "%s[tarnwatch:WAN]%s", YEL, RST);
        if (std::strcmp(n.name, g_lan) == 0) sb_addf(b, "%s[tarnwatch:LAN]%s", YEL, RST);
        sb_addf(b, "%s\n", RST);
    }
    if (g_mw_nnic == 0) sb_addf(b, " %s(no physical NICs found?)%s\n", DIM, RST);
}

static void render_mode(StrBuf *b)
{
    switch (g_mw_mode) {
    case 1:
    case 2:
        sb_addf(b, "\n%s%s: %s_%s   (enter=ok esc=cancel)\n", BOLD,
                g_mw_mode == 1 ? "block prefix (a.b.c.d/len or x:x::/len)" : "custom dport", g_mw_in, RST);
        break;
    case 3:
        sb_addf(b, "\n%sdrop which dport? (j/k, enter, esc)%s\n", BOLD, RST);
        for (int i = 0; i < 8; i++) {
            const MwPortPreset &p = MW_PORT_PRESETS[i];
            bool on = i == g_mw_msel;
            if (p.port)
                sb_addf(b, " %s%s %5u  %s%s\n", marker_colour(on), marker(on), p.port, p.label, RST);
            else
                sb_addf(b, " %s%s %s%s\n", marker_colour(on), marker(on), p.label, RST);
        }
        break;
    case 4:
        render_nics(b);
        break;
    case 5:
        sb_addf(b, "\n%s%s: (j/k, enter, esc)%s\n", BOLD, g_mw_nic[g_mw_nic_pick].name, RST);
        for (int i = 0; i < 4; i++)
            sb_addf(b, " %s%s %s%s\n", marker_colour(i == g_mw_msel), marker(i == g_mw_msel), MW_NIC_ACTIONS[i],
                    RST);
        break;
    default:
        break;
    }
}

// "(300, first 256 shown)" when the page holds fewer rows than the map has keys.
static void list_header(StrBuf *b, const char *what, int shown, int all, bool active)
{
    sb_addf(b, "%s--- drop %s (%d", BOLD, what, all);
    if (all > shown) sb_addf(b, ", first %d shown", shown);
    sb_addf(b, ")%s ---%s\n", active ? "  [active pane]" : "", RST);
}

static void render_lists(StrBuf *b)
{
    int rows = g_mw_pane == 0 ? g_mw_npfx : g_mw_nport;
    if (g_mw_sel >= rows) g_mw_sel = rows > 0 ? rows - 1 : 0;

    sb_addf(b, "\n");
    list_header(b, "prefixes", g_mw_npfx, g_mw_npfx_all, g_mw_pane == 0);
    for (int i = 0; i < g_mw_npfx; i++) {
        bool on = g_mw_pane == 0 && g_mw_sel == i;
        char text[64];
        mw_prefix_text(g_mw_pfx[i], text, sizeof text);
        sb_addf(b, " %s%s %s%s\n", marker_colour(on), marker(on), text, RST);
    }
    if (g_mw_npfx == 0) sb_addf(b, " %s(empty - R to seed bogons)%s\n", DIM, RST);

    list_header(b, "dports", g_mw_nport, g_mw_nport_all, g_mw_pane == 1);
    for (int i = 0; i < g_mw_nport; i++) {
        bool on = g_mw_pane == 1 && g_mw_sel == i;
        sb_addf(b, " %s%s %u %s%s\n", marker_colour(on), marker(on), g_mw_port[i], port_label(g_mw_port[i]), RST);
    }
    if (g_mw_nport == 0) sb_addf(b, " %s(empty = dport gate off)%s\n", DIM, RST);
}

static void render(bool sample)
{
    StrBuf *b = &PAGES[3];

    sb_addf(b, "%s=== MOATWALL: XDP early-drop gate ===%s", BOLD, RST);
    if (g_mw_daemon_ok == 1)
        sb_addf(b, "  daemon: %s%s%s\n", GRN, "up", RST);
    else
        sb_addf(b, "  daemon: %s%s%s\n", RED, "DOWN", RST);
    if (g_mw_daemon_ok != 1)
        sb_addf(b, "%s(control offline - service moatwall start; pinned maps still readable below)%s\n", YEL, RST);
    else if (g_mw_att == 0)
        sb_addf(b, "gate: %sNOT ATTACHED%s on %s   (A = attach)\n", RED, RST, g_mw_gif);
    else
        sb_addf(b, "gate: %sATTACHED%s (%s) on %s\n", GRN, RST, g_mw_attmode, g_mw_gif);
    if (g_mw_att != 0 && std::strcmp(g_mw_attmode, "xdpgeneric") == 0)
        sb_addf(b, "%s!! generic mode: pre-skb benefit lost - check i40e/queue setup%s\n", YEL, RST);

    if (sample)
        mw_stats_block();
    else
        mw_stats_block_again();
    render_lists(b);

    sb_addf(b, "\n%stab=pane j/k=sel a=add-prefix f=add-port x=del i=NICs A=attach D=detach R=seed%s\n", DIM, RST);
    if (g_mw_msg[0]) sb_addf(b, "%s>> %s%s\n", YEL, g_mw_msg, RST);
    render_mode(b);
}

void mw_render() { render(true); }

void mw_render_again() { render(false); }

// The pattern of every command sent from a key: result into the message line,
// then fresh status, and the pins reopened (a move pins them anew) and the
// lists read again, for the page built after the key.
static void mw_command(const char *cmd, const char *ok_msg)
{
    static char reply[512];
    int r = mw_req(cmd, reply, sizeof reply);
    if (r == 0)
        mw_msg_done(ok_msg, reply);
    else if (r == -2)
        mw_msgf("moatwalld unreachable - service moatwall start");
    // A daemon that just failed the exchange is shown down already; asking
    // again would only hold the keys another full exchange.
    if (r != -2) mw_refresh_status();
    mw_close_maps();
    mw_open_maps();
    mw_read_lists();
}

void mw_add_port(unsigned int port)
{
    char cmd[48], msg[64];
    std::snprintf(cmd, sizeof cmd, "drop-port %u", port);
    std::snprintf(msg, sizeof msg, "dropping WAN dport %u at XDP", port);
    mw_command(cmd, msg);
}

static void remove_selected()
{
    char cmd[64], msg[80];
    if (g_mw_pane == 0 && g_mw_sel < g_mw_npfx) {
        char text[55];  // 43 characters at most; the size keeps any request within 62
        mw_prefix_text(g_mw_pfx[g_mw_sel], text, sizeof text);
        std::snprintf(cmd, sizeof cmd, "unblock %s", text);
        std::snprintf(msg, sizeof msg, "unblocked %s", text);
    } else if (g_mw_pane == 1 && g_mw_sel < g_mw_nport) {
        std::snprintf(cmd, sizeof cmd, "undrop-port %u", g_mw_port[g_mw_sel]);
        std::snprintf(msg, sizeof msg, "no longer dropping dport %u", g_mw_port[g_mw_sel]);
    } else {
        mw_msgf("nothing selected");
        return;
    }
    mw_command(cmd, msg);
}

static void input_clear()
{
    g_mw_inlen = 0;
    g_mw_in[0] = '\0';
}

static void input_send()
{
    if (g_mw_mode == 1) {
        char cmd[56], msg[80];
        std::snprintf(cmd, sizeof cmd, "block %s", g_mw_in);
        std::snprintf(msg, sizeof msg, "dropping src %s at XDP", g_mw_in);
        mw_command(cmd, msg);
    } else {
        uint32_t port = 0;  // digits up to the first other character, wrapping like the 32-bit value it is
        for (const char *s = g_mw_in; *s >= '0' && *s <= '9'; s++) port = port * 10u + static_cast<uint32_t>(*s - '0');
        mw_add_port(port);
    }
}

static void set_monitor_if(char *copy, const char **setting, const char *name, const char *which)
{
    std::snprintf(copy, 16, "%s", name);
    *setting = copy;
    g_mw_force_redisc = 1;
    mw_msgf("tarnwatch %s -> %s (rediscovering)", which, copy);
}

static void menu_choose()
{
    if (g_mw_mode == 3) {
        unsigned port = MW_PORT_PRESETS[g_mw_msel].port;
        if (port == 0) {
            input_clear();
            g_mw_mode = 2;
            return;
        }
        mw_add_port(port);
        g_mw_mode = 0;
    } else if (g_mw_mode == 4) {
        if (g_mw_nnic > 0) {
            g_mw_nic_pick = g_mw_msel;
            g_mw_msel = 0;
            g_mw_mode = 5;
        } else {
            g_mw_mode = 0;
        }
    } else {
        const char *name = g_mw_nic[g_mw_nic_pick].name;
        if (g_mw_msel == 0) {
            char cmd[24], msg[40];
            std::snprintf(cmd, sizeof cmd, "move %s", name);
            std::snprintf(msg, sizeof msg, "gate moved to %s", name);
            mw_command(cmd, msg);
        } else if (g_mw_msel == 1) {
            set_monitor_if(g_mw_wan_copy, &g_wan, name, "WAN");
        } else if (g_mw_msel == 2) {
            set_monitor_if(g_mw_lan_copy, &g_lan, name, "LAN");
        }
        g_mw_mode = 0;
    }
}

// The keys key_normal answers; the rest are the global keys'.
constexpr int MW_NORMAL_KEYS[] = {'\t', 'j', KEY_DOWN, 'k', KEY_UP, 'a', 'f', 'i', 'x', 'A', 'D', 'R'};

bool mw_takes_key(int key)
{
    if (g_mw_mode != 0) return true;
    for (int k : MW_NORMAL_KEYS)
        if (k == key) return true;
    return false;
}

static int key_normal(int key)
{
    switch (key) {
    case '\t':
        g_mw_pane = !g_mw_pane;
        g_mw_sel = 0;
        return 1;
    case 'j': case KEY_DOWN:
        g_mw_sel++;
        return 1;
    case 'k': case KEY_UP:
        if (g_mw_sel > 0) g_mw_sel--;
        return 1;
    case 'a':
        input_clear();
        g_mw_mode = 1;
        return 1;
    case 'f':
        g_mw_msel = 0;
        g_mw_mode = 3;
        return 1;
    case 'i':
        mw_refresh_status();
        mw_scan_nics();
        g_mw_msel = 0;
        g_mw_mode = 4;
        return 1;
    case 'x':
        remove_selected();
        return 1;
    case 'A':
        mw_command("attach", "attached");
        return 1;
    case 'D':
        mw_command("detach", "detached");
        return 1;
    case 'R':
        mw_command("seed", "bogons seeded");
        return 1;
    default:
        return 0;  // global keys, Escape and the rest
    }
}

// Escape itself, or an escape sequence that is none of the four arrows.
static bool acts_as_escape(int key)
{
    return key == KEY_ESC ||
           (key >= KEY_SEQ && key != KEY_UP && key != KEY_DOWN && key != KEY_RIGHT && key != KEY_LEFT);
}

// Digits, "." and "/"; the prefix prompt takes IPv6 text too. The daemon judges the form.
static bool typed_char(int key)
{
    if ((key >= '0' && key <= '9') || key == '.' || key == '/') return true;
    return g_mw_mode == 1 && key >= 0 && key < 128 && (std::isxdigit(key) || key == ':');
}

static void key_typing(int key)
{
    if (key == '\r' || key == '\n') {
        input_send();
        input_clear();
        g_mw_mode = 0;
    } else if (key == 127 || key == 8) {
        if (g_mw_inlen > 0) g_mw_in[--g_mw_inlen] = '\0';
    } else if (typed_char(key)) {
        if (g_mw_inlen < 47) {
            g_mw_in[g_mw_inlen++] = static_cast<char>(key);
            g_mw_in[g_mw_inlen] = '\0';
        }
    } else if (acts_as_escape(key)) {
        input_clear();
        g_mw_mode = 0;
    }
}

static void key_menu(int key)
{
    int rows = g_mw_mode == 3 ? 8 : g_mw_mode == 4 ? g_mw_nnic : 4;
    if (key == 'j' || key == KEY_DOWN) {
        if (g_mw_msel + 1 < rows) g_mw_msel++;
    } else if (key == 'k' || key == KEY_UP) {
        if (g_mw_msel > 0) g_mw_msel--;
    } else if (key == 'q' || acts_as_escape(key)) {
        g_mw_mode = 0;
    } else if (key == '\r' || key == '\n') {
        menu_choose();
    }
}

int mw_key(int key)
{
    if (!mw_takes_key(key)) return 0;
    if (g_mw_mode == 0) return key_normal(key);
    if (g_mw_mode <= 2)
        key_typing(key);
    else
        key_menu(key);
    return 1;
}
