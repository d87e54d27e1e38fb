#include "game/varint.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using bytes = std::vector<std::uint8_t>;

TEST(VarintDecode, ReadsCompleteValuesAndRefusesTruncatedOrOverlongOnes)
{
    // The input, the bytes available, then ok, value and length (written only on success).
    const std::tuple<bytes, std::int32_t, bool, std::int32_t, std::int32_t> cases[] = {
        {{0xAC, 0x02}, 2, true, 300, 2},
        {{0xAC, 0x02}, 1, false, 44, 99},
        {{0x00}, 0, false, 0, 99},
        {{0x00}, -3, false, 0, 99},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 5, true, -1, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 5, true, -1, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x07}, 5, true, 0x7FFFFFFF, 5},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 6, false, 0, 99},
    };
    for (const auto& [input, available, ok, value, length] : cases) {
        varint_result result{true, 7, 99};
        varint_decode(&result, input.data(), available);
        EXPECT_EQ(std::tuple(result.ok, result.value, result.length), std::tuple(ok, value, length))
            << "available " << available;
    }
}

TEST(VarintEncode, WritesMinimalFormsAndRefusesWhatDoesNotFit)
{
    // The value, the capacity, what the call returns and the bytes it writes.
    const std::tuple<std::int32_t, std::int32_t, std::int32_t, bytes> cases[] = {
        {0, 5, 1, {0x00}},
        {128, 5, 2, {0x80, 0x01}},
        {0x3FFF, 5, 2, {0xFF, 0x7F}},
        {0x4000, 5, 3, {0x80, 0x80, 0x01}},
        {0x10000000, 5, 5, {0x80, 0x80, 0x80, 0x80, 0x01}},
        {0x7FFFFFFF, 5, 5, {0xFF, 0xFF, 0xFF, 0xFF, 0x07}},
        {300, 1, -1, {0xAC}},
        {300, 0, -1, {}},
        {-1, 8, -1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& [value, capacity, result, written] : cases) {
        bytes out(8, 0xEE), expected = written; // and nothing past them
        expected.resize(8, 0xEE);
        EXPECT_EQ(varint_encode(out.data(), capacity, value), result) << value;
        EXPECT_EQ(out, expected) << value;
    }
}

// The fuzz target checks every insertion that succeeds against the decoder.
TEST(VarintInsertPrefix, InsertsNothingForZeroAndRefusesANegativeValueUntouched)
{
    const bytes before{1, 2, 3, 0, 0, 0, 0, 0};
    for (std::int32_t value : {0, -5}) {
        bytes buffer = before;
        std::int32_t count = 3;
        EXPECT_EQ(varint_insert_prefix(buffer.data(), &count, value), value == 0) << value;
        EXPECT_EQ(count, 3) << value;
        EXPECT_EQ(buffer, before) << value;
    }
}
