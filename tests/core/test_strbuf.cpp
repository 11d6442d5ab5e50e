#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/strbuf.hpp"

TEST(strbuf, grows_by_doubling_exactly_when_needed_and_clears_in_place)
{
    StrBuf b;
    sb_init(&b, 16);
    sb_addf(&b, "%s", "");
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.buf[0], '\0');

    sb_addf(&b, "%s", std::string(15, 'a').c_str());  // len + 1 == cap: no growth
    EXPECT_EQ(b.cap, 16u);
    sb_addf(&b, "b");  // one byte more doubles once
    EXPECT_EQ(b.cap, 32u);
    sb_addf(&b, "%s", std::string(200, 'x').c_str());  // 217 bytes: three doublings in one call
    EXPECT_EQ(b.cap, 256u);
    EXPECT_EQ(b.len, 216u);
    EXPECT_EQ(std::strlen(b.buf), 216u);
    EXPECT_EQ(std::string(b.buf, 16), std::string(15, 'a') + "b");

    char *storage = b.buf;
    sb_clear(&b);
    sb_addf(&b, "%d", 7);
    EXPECT_STREQ(b.buf, "7");
    EXPECT_EQ(b.buf, storage);
    EXPECT_EQ(b.cap, 256u);
    std::free(b.buf);
}
