#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/strbuf.hpp"

// Growth by as much as one call needs keeps what was there; a clear keeps the storage.
TEST(strbuf, grows_keeping_contents_and_clears_in_place)
{
    StrBuf b;
    sb_init(&b, 16);
    sb_addf(&b, "%s", "");
    EXPECT_STREQ(b.buf, "");
    sb_addf(&b, "%s", std::string(15, 'a').c_str());
    sb_addf(&b, "b");
    sb_addf(&b, "%s", std::string(200, 'x').c_str());  // more than one doubling in one call
    EXPECT_EQ(std::string(b.buf), std::string(15, 'a') + "b" + std::string(200, 'x'));
    EXPECT_EQ(b.len, 216u);
    char *storage = b.buf;
    sb_clear(&b);
    sb_addf(&b, "%d", 7);
    EXPECT_STREQ(b.buf, "7");
    EXPECT_EQ(b.buf, storage);
    std::free(b.buf);
}
