#include "core/colors.hpp"

const char *BOLD = "";
const char *RST = "";
const char *DIM = "";
const char *GRN = "";
const char *YEL = "";
const char *RED = "";

void colors_set(bool on)
{
    RED = on ? "\x1b[31;1m" : "";
    YEL = on ? "\x1b[33;1m" : "";
    GRN = on ? "\x1b[32m" : "";
    DIM = on ? "\x1b[2m" : "";
    RST = on ? "\x1b[0m" : "";
    BOLD = on ? "\x1b[1m" : "";
}

bool colors_auto(bool out_is_tty, bool term_ansi, const char *no_color)
{
    return out_is_tty && term_ansi && !(no_color && no_color[0]);
}
