// The gate's XDP program run by the kernel on a frame built here
// (BPF_PROG_TEST_RUN): for the program's tests and for its cost measurement in
// bench/moatwalld.
#pragma once
#include <bpf/bpf.h>
#include <vector>

#include "moatwalld/gate.hpp"
#include "support/gate_rig.hpp"

// The verdict of `repeat` runs of the frame (see build_frame), -1 when the kernel refused; *ns its time per run.
inline int xdp_run(int prog, const std::string &frame, int repeat, uint32_t *ns = nullptr)
{
    std::vector<uint8_t> fr = build_frame(frame);
    LIBBPF_OPTS(bpf_test_run_opts, o, .data_in = fr.data(), .data_size_in = uint32_t(fr.size()), .repeat = repeat);
    if (bpf_prog_test_run_opts(prog, &o) != 0) return -1;
    if (ns) *ns = o.duration;
    return int(o.retval);
}
