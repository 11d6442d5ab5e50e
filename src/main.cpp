#include "app/main_loop.hpp"

int main(int argc, char **argv) { return tarnwatch_main(argc, argv); }
