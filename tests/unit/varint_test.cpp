#include "game/varint.h"

#include <gtest/gtest.h>

#include <vector>

using bytes = std::vector<std::uint8_t>;

TEST(VarintDecode, ReadsCompleteValuesAndRefusesTruncatedOrOverlongOnes)
{
    struct case_t {
        bytes input;
        std::int32_t available;
        std::uint8_t ok;
        std::int32_t value;
        std::int32_t length;
    };
    const case_t cases[] = {
        {{0xAC, 0x02}, 2, 1, 300, 2},
        {{0xAC, 0x02}, 1, 0, 44, 99},
        {{0x00}, 0, 0, 0, 99},
        {{0x00}, -3, 0, 0, 99},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 5, 1, -1, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 5, 1, -1, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x07}, 5, 1, 0x7FFFFFFF, 5},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 6, 0, 0, 99},
    };
    for (const case_t& c : cases) {
        varint_result result{7, 7, 99};
        varint_decode(&result, c.input.data(), c.available);
        EXPECT_EQ(result.ok, c.ok) << "available " << c.available;
        EXPECT_EQ(result.value, c.value) << "available " << c.available;
        EXPECT_EQ(result.length, c.length) << "length is written only on success";
    }
}

TEST(VarintEncode, WritesMinimalFormsAndRefusesWhatDoesNotFit)
{
    struct case_t {
        std::int32_t value;
        std::int32_t capacity;
        std::int32_t result;
        bytes written;
    };
    const case_t cases[] = {
        {0, 5, 1, {0x00}},
        {127, 5, 1, {0x7F}},
        {128, 5, 2, {0x80, 0x01}},
        {300, 5, 2, {0xAC, 0x02}},
        {0x7FFFFFFF, 5, 5, {0xFF, 0xFF, 0xFF, 0xFF, 0x07}},
        {300, 1, -1, {0xAC}},
        {300, 0, -1, {}},
        {-1, 8, -1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const case_t& c : cases) {
        bytes out(8, 0xEE);
        EXPECT_EQ(varint_encode(out.data(), c.capacity, c.value), c.result) << c.value;
        EXPECT_EQ(bytes(out.begin(), out.begin() + c.written.size()), c.written) << c.value;
        EXPECT_EQ(out[c.written.size()], 0xEE) << "wrote past the expected bytes for " << c.value;
    }
}

TEST(VarintInsertPrefix, MovesTheContentsBehindTheEncodedValue)
{
    bytes buffer(16, 0);
    buffer[0] = 1, buffer[1] = 2, buffer[2] = 3;
    std::int32_t count = 3;
    EXPECT_EQ(varint_insert_prefix(buffer.data(), &count, 3), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + 4), (bytes{3, 1, 2, 3}));

    count = 0;
    EXPECT_EQ(varint_insert_prefix(buffer.data(), &count, 200), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + 2), (bytes{0xC8, 0x01}));

    count = 2;
    EXPECT_EQ(varint_insert_prefix(buffer.data(), &count, 0), 0);
    EXPECT_EQ(count, 2) << "a zero prefix inserts nothing";

    count = 2;
    EXPECT_EQ(varint_insert_prefix(buffer.data(), &count, -5), 1);
    EXPECT_EQ(count, 8);
}

TEST(VarintRoundTrip, DecodesWhatItEncodesAtEverySizeBoundary)
{
    for (std::int32_t value : {0, 1, 0x7F, 0x80, 0x3FFF, 0x4000, 0x1FFFFF, 0x200000, 0xFFFFFFF, 0x10000000,
                               0x7FFFFFFF}) {
        std::uint8_t out[5];
        std::int32_t size = varint_encode(out, 5, value);
        ASSERT_EQ(size, varint_size(value));
        varint_result result{};
        varint_decode(&result, out, size);
        EXPECT_EQ(result.ok, 1);
        EXPECT_EQ(result.value, value);
        EXPECT_EQ(result.length, size);
    }
}
