#pragma once
// JSON's structure 64 bytes at a time: which brackets lie outside strings,
// carrying string and escape state from one block to the next. With AVX2 where
// the processor has it, chosen once; SSE2, which every x86-64 has, otherwise.
#if defined(__SSE2__)

#include <cstddef>
#include <cstdint>
#include <emmintrin.h>
#include <immintrin.h>

namespace dotz::json_blocks {

struct Carry
{
    bool inString = false;
    bool escaped = false; // the next block's first byte is escaped
};

struct Block
{
    uint64_t opens = 0;   // '{' or '[' outside strings
    uint64_t closes = 0;  // '}' or ']' outside strings
    uint64_t squares = 0; // '[' anywhere
    size_t opened = 0;
    size_t closed = 0;
};

namespace detail {

struct Sse2
{
    // Each byte of 64 that is `c`, or `c` with bit 5 set when `either`
    // ('[' and '{', ']' and '}'), a bit each.
    static uint64_t bitsOf(const char* p, char c, bool either = false)
    {
        const __m128i want = _mm_set1_epi8(c);
        const __m128i fold = _mm_set1_epi8(either ? 0x20 : 0);
        uint64_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            const __m128i v =
                _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), fold);
            bits |= static_cast<uint64_t>(
                        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, want))))
                    << (16 * i);
        }
        return bits;
    }
    // Without the library call that plain x86-64 makes of a popcount.
    static size_t count(uint64_t x)
    {
        x -= (x >> 1) & 0x5555555555555555u;
        x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
        return static_cast<size_t>((x * 0x0101010101010101u) >> 56);
    }
    // Bit i is the XOR of bits 0..i.
    static uint64_t prefixXor(uint64_t x)
    {
        x ^= x << 1;
        x ^= x << 2;
        x ^= x << 4;
        x ^= x << 8;
        x ^= x << 16;
        x ^= x << 32;
        return x;
    }
};

struct Avx2
{
    [[gnu::target("avx2")]] static uint64_t bitsOf(const char* p, char c, bool either = false)
    {
        const __m256i want = _mm256_set1_epi8(c);
        const __m256i fold = _mm256_set1_epi8(either ? 0x20 : 0);
        uint64_t bits = 0;
        for (int i = 0; i < 2; ++i) {
            const __m256i v = _mm256_or_si256(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i)), fold);
            bits |= static_cast<uint64_t>(
                        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, want))))
                    << (32 * i);
        }
        return bits;
    }
    [[gnu::target("popcnt")]] static size_t count(uint64_t x)
    {
        return static_cast<size_t>(__builtin_popcountll(x));
    }
    // A carry-less multiplication by all ones.
    [[gnu::target("pclmul")]] static uint64_t prefixXor(uint64_t x)
    {
        return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(
            _mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(-1), 0)));
    }
};

// The bytes a backslash escapes: a run of backslashes escapes the byte after it
// when it is odd, counted from where it starts (a backslash escaped from the
// block before starts none).
inline uint64_t escapedBy(uint64_t backslashes, bool& escaped)
{
    constexpr uint64_t kEven = 0x5555555555555555u;
    backslashes &= ~static_cast<uint64_t>(escaped);
    const uint64_t follows = backslashes << 1 | static_cast<uint64_t>(escaped);
    const uint64_t oddStarts = backslashes & ~kEven & ~follows;
    uint64_t evenStarted = 0;
    escaped = __builtin_add_overflow(oddStarts, backslashes, &evenStarted);
    return (kEven ^ (evenStarted << 1)) & follows;
}

// Which bytes lie inside a string follows from the quotes that no backslash
// escapes.
template <class Lanes> [[gnu::always_inline]] inline Block classify(const char* p, Carry& carry)
{
    const uint64_t backslashes = Lanes::bitsOf(p, '\\');
    const uint64_t quotes =
        Lanes::bitsOf(p, '"') &
        ~(backslashes || carry.escaped ? escapedBy(backslashes, carry.escaped) : 0);
    // A byte is in a string after an odd number of quotes.
    const uint64_t strings = Lanes::prefixXor(quotes) ^ (carry.inString ? ~uint64_t{0} : 0);
    carry.inString = strings >> 63;
    Block b;
    b.opens = Lanes::bitsOf(p, '{', true) & ~strings;
    b.closes = Lanes::bitsOf(p, '}', true) & ~strings;
    b.squares = Lanes::bitsOf(p, '[');
    b.opened = Lanes::count(b.opens);
    b.closed = Lanes::count(b.closes);
    return b;
}

inline Block classifySse2(const char* p, Carry& carry)
{
    return classify<Sse2>(p, carry);
}

[[gnu::target("avx2,popcnt,pclmul")]] inline Block classifyAvx2(const char* p, Carry& carry)
{
    return classify<Avx2>(p, carry);
}

inline bool hasAvx2()
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
           __builtin_cpu_supports("pclmul");
}

} // namespace detail

// The 64 bytes at `p`, which must all be readable.
inline Block classify(const char* p, Carry& carry)
{
    static const auto chosen = detail::hasAvx2() ? detail::classifyAvx2 : detail::classifySse2;
    return chosen(p, carry);
}

} // namespace dotz::json_blocks

#endif
