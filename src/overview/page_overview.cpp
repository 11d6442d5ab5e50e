#include "overview/page_overview.hpp"

void render_overview() {}
