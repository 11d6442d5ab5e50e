// Expected OSPF neighbours, read from the BIRD configuration's neighbors blocks.
#pragma once

void load_ospf_expected(const char *path);
