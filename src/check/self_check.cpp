#include "check/self_check.hpp"

#include "check/check_report.hpp"

int self_check(FILE *out)
{
    Check c{out, 0, std::chrono::steady_clock::now() + std::chrono::milliseconds(CHECK_BUDGET_MS)};
    check_root(&c);
    check_kernel_files(&c);
    check_links(&c);
    check_tools(&c);
    check_wireguard(&c);
    check_bird(&c);
    check_tracefs(&c);
    check_gate(&c);
    std::fflush(out);
    return c.fails > 0 ? 1 : 0;
}
