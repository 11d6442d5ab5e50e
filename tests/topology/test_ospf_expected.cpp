#include <gtest/gtest.h>

#include <string>

#include "support/tmpdir.hpp"
#include "topology/ospf_expected.hpp"

TEST(looks_ipv4, finds_first_valid_address)
{
    const char *cases[][2] = {  // text, first address ("" = none)
        {"10.1.2.3/30", "10.1.2.3"}, {"  10.1.2.3;", "10.1.2.3"}, {"010.001.002.003", "10.1.2.3"},
        {"300.1.2.3.4", "1.2.3.4"},  // resumes inside the failed text
        {"peer 1..2.3.4.5", "2.3.4.5"}, {"x 256.1.1.1", ""}, {"1.2.3", ""}, {"10.0.0.256", ""}, {"", ""},
        {"4294967297.1.2.3", ""},  // must not wrap round to 1.1.2.3
        {"1. 2.3.4", ""}, {"1.+2.3.4", ""}, {"1.-2.3.4", ""},  // blanks and signs are not digits
    };
    for (auto &c : cases) {
        char out[48] = "";
        bool found = looks_ipv4(c[0], out);
        EXPECT_EQ(found, c[1][0] != '\0') << c[0];
        EXPECT_STREQ(found ? out : "", c[1]) << c[0];
    }
}

TEST(load_ospf_expected, neighbors_blocks)
{
    TempDir t;
    std::string path = t.write("bird.conf",
        "protocol ospf v2 core {\n  interface \"lan0\" {\n    neighbors {\n"
        "      10.0.0.2 eligible;   # core-b   \n      10.0.0.3;\n      # 10.0.0.4;\n"
        "      core-c.example;\n      10.0.0.5 10.0.0.6;  #\n    };\n    10.9.9.9;\n  };\n"
        "  interface \"lan1\" {\n    neighbors\n    { 10.1.0.1; };\n"  // brace on the next line
        "  neighbors { 10.2.0.1; };\n"  // one-line block stays open
        "    10.2.0.2; # " + std::string(80, 'L') + "\n    # }\n    010.2.0.3\n"
        "    10.2.0.4 } # closes, no address\n    10.2.0.5;\n");
    load_ospf_expected(path.c_str());
    std::string want[][2] = {{"10.0.0.2", "core-b"}, {"10.0.0.3", "10.0.0.3"}, {"10.0.0.5", "10.0.0.5"},
                             {"10.2.0.2", std::string(63, 'L')}, {"10.2.0.3", "10.2.0.3"}};
    ASSERT_EQ(g_n_ospf_exp, 5);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(g_ospf_exp[i].address, want[i][0]);
        EXPECT_EQ(g_ospf_exp[i].label, want[i][1]);
    }
    load_ospf_expected((t.path + "/missing.conf").c_str());
    EXPECT_EQ(g_n_ospf_exp, 0);
}
