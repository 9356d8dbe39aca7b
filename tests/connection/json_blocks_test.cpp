#include "connection/json_blocks.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#if defined(__SSE2__)

using namespace dotz::json_blocks;

namespace {

// Byte by byte, as the scanner reads what is left after its blocks.
Block byBytes(const char* p, Carry& carry)
{
    Block b;
    for (int i = 0; i < 64; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        const char c = p[i];
        b.squares |= c == '[' ? bit : 0;
        if (carry.inString) {
            if (carry.escaped)
                carry.escaped = false;
            else if (c == '\\')
                carry.escaped = true;
            else if (c == '"')
                carry.inString = false;
        } else if (c == '"') {
            carry.inString = true;
        } else if (c == '{' || c == '[') {
            b.opens |= bit;
            ++b.opened;
        } else if (c == '}' || c == ']') {
            b.closes |= bit;
            ++b.closed;
        }
    }
    return b;
}

} // namespace

// Backslash runs that cross blocks and strings that span them are where the
// two carries could part.
TEST(JsonBlocks, BothWidthsReadEveryBlockAsTheBytesDo)
{
    // Brackets, and strings that hold brackets, quotes and backslashes escaped,
    // as JSON has them: a backslash only in a string.
    std::mt19937 random(7);
    const std::string inside = "a{}[]|";
    const std::string outside = "{}[],a";
    std::string bytes;
    while (bytes.size() < 64 * 4000) {
        if (random() % 3) {
            bytes += outside[random() % outside.size()];
            continue;
        }
        bytes += '"';
        for (auto n = random() % 70; n > 0; --n)
            switch (random() % 4) {
            case 0:
                bytes += random() % 2 ? "\\\\" : "\\\"";
                break;
            default:
                bytes += inside[random() % inside.size()];
            }
        bytes += '"';
    }
    bytes.resize(64 * 4000);
    Carry bySse2, byAvx2, expected;
    for (size_t at = 0; at < bytes.size(); at += 64) {
        const char* p = bytes.data() + at;
        const Block want = byBytes(p, expected);
        using Read = Block (*)(const char*, Carry&);
        const Read wide = detail::hasAvx2() ? detail::classifyAvx2 : detail::classifySse2;
        for (auto [read, carry] :
             {std::pair{Read{detail::classifySse2}, &bySse2}, std::pair{wide, &byAvx2}}) {
            const Block got = read(p, *carry);
            ASSERT_EQ(got.opens, want.opens) << "block at " << at;
            ASSERT_EQ(got.closes, want.closes) << "block at " << at;
            ASSERT_EQ(got.squares, want.squares) << "block at " << at;
            ASSERT_EQ(got.opened, want.opened) << "block at " << at;
            ASSERT_EQ(got.closed, want.closed) << "block at " << at;
            ASSERT_EQ(carry->inString, expected.inString) << "block at " << at;
            ASSERT_EQ(carry->escaped, expected.escaped) << "block at " << at;
        }
    }
}

#endif
