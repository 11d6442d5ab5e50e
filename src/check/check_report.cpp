#include "check/check_report.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <sys/wait.h>

#include "check/self_check.hpp"
#include "core/run_tool.hpp"

void check_line(Check *c, CheckStatus st, const char *source, const char *fmt, ...)
{
    static const char *const WORD[] = {"ok", "--", "FAIL"};
    if (st == CHECK_FAIL) c->fails++;
    char detail[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(detail, sizeof detail, fmt, ap);
    va_end(ap);
    std::fprintf(c->out, "%-4s %-24s %s\n", WORD[st], source, detail);
}

void check_runs_begin(const Check &c)
{
    using namespace std::chrono;
    auto left = duration_cast<milliseconds>(c.deadline - steady_clock::now()).count();
    tool_sample_begin(static_cast<int>(std::clamp<long long>(left, 0, CHECK_TOOL_MS)));
}

void check_runs_end() { tool_sample_end(); }

int check_finish(ToolRun *run, char *out, size_t size)
{
    size_t len = 0;
    char line[1024];
    long n;
    while ((n = tool_getline(run, line, sizeof line)) >= 0) {
        size_t take = std::min(std::strlen(line), size - 1 - len);
        std::memcpy(out + len, line, take);
        len += take;
        if (len + 1 < size) out[len++] = '\n';
    }
    out[len] = '\0';
    int st = tool_close(run);
    if (run->timed_out || st < 0) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int check_tool(Check *c, const char *const argv[], char *out, size_t size)
{
    out[0] = '\0';
    check_runs_begin(*c);
    ToolRun run;
    int st = tool_start(&run, argv) == 0 ? check_finish(&run, out, size) : -1;
    check_runs_end();
    return st;
}
