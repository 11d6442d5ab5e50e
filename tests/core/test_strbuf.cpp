#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/strbuf.hpp"

namespace {

struct OwnedBuf {
    StrBuf b;
    explicit OwnedBuf(uint64_t cap) { sb_init(&b, cap); }
    ~OwnedBuf() { std::free(b.buf); }
};

TEST(strbuf, empty_append_keeps_length_and_terminator)
{
    OwnedBuf o(16);
    sb_addf(&o.b, "%s", "");
    EXPECT_EQ(o.b.len, 0u);
    EXPECT_EQ(o.b.buf[0], '\0');
    EXPECT_EQ(o.b.cap, 16u);
}

TEST(strbuf, growth_boundaries)
{
    OwnedBuf o(16);
    sb_addf(&o.b, "%s", std::string(15, 'a').c_str());  // len + 1 == cap exactly
    EXPECT_EQ(o.b.cap, 16u);
    sb_addf(&o.b, "b");  // one byte more doubles once
    EXPECT_EQ(o.b.cap, 32u);
    EXPECT_EQ(o.b.len, 16u);

    std::string big(200, 'x');  // needs 217 bytes: 32 -> 64 -> 128 -> 256 in one call
    sb_addf(&o.b, "%s", big.c_str());
    EXPECT_EQ(o.b.cap, 256u);
    EXPECT_EQ(o.b.len, 216u);
    EXPECT_EQ(std::strlen(o.b.buf), 216u);
    EXPECT_EQ(std::string(o.b.buf).substr(0, 16), std::string(15, 'a') + "b");
}

TEST(strbuf, clear_keeps_storage)
{
    OwnedBuf o(8);
    sb_addf(&o.b, "%d-%s", 42, "long enough to grow");
    char *storage = o.b.buf;
    uint64_t cap = o.b.cap;
    sb_clear(&o.b);
    EXPECT_EQ(o.b.len, 0u);
    EXPECT_STREQ(o.b.buf, "");
    EXPECT_EQ(o.b.buf, storage);
    EXPECT_EQ(o.b.cap, cap);
    sb_addf(&o.b, "%s", "x");
    EXPECT_EQ(o.b.buf, storage);
}

}  // namespace
