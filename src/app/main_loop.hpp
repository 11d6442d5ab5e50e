// Start-up, discovery, and the sampling loop: collect, build, export, paint,
// then wait for keys until the next sample.
#pragma once

// The whole program: returns the exit status (0, 1 or 2).
int tarnwatch_main(int argc, char **argv);
