#include "overview/nst_table.hpp"

void nst_refresh() {}
