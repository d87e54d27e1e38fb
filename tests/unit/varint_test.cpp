#include "game/varint.h"

#include <gtest/gtest.h>

#include <vector>

using bytes = std::vector<std::uint8_t>;

TEST(VarintDecode, ReadsCompleteValuesAndRefusesTruncatedOrOverlongOnes)
{
    struct {
        bytes input;
        std::int32_t available;
        bool ok;
        std::int32_t value;
        std::int32_t length; // written only on success
    } cases[] = {
        {{0xAC, 0x02}, 2, true, 300, 2},
        {{0xAC, 0x02}, 1, false, 44, 99},
        {{0x00}, 0, false, 0, 99},
        {{0x00}, -3, false, 0, 99},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 5, true, -1, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 5, true, -1, 5},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x07}, 5, true, 0x7FFFFFFF, 5},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, 6, false, 0, 99},
    };
    for (const auto& c : cases) {
        varint_result result{true, 7, 99};
        varint_decode(&result, c.input.data(), c.available);
        EXPECT_EQ(result.ok, c.ok) << "available " << c.available;
        EXPECT_EQ(result.value, c.value) << "available " << c.available;
        EXPECT_EQ(result.length, c.length) << "available " << c.available;
    }
}

TEST(VarintEncode, WritesMinimalFormsAndRefusesWhatDoesNotFit)
{
    struct {
        std::int32_t value;
        std::int32_t capacity;
        std::int32_t result;
        bytes written;
    } cases[] = {
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
    for (const auto& c : cases) {
        bytes out(8, 0xEE);
        EXPECT_EQ(varint_encode(out.data(), c.capacity, c.value), c.result) << c.value;
        EXPECT_EQ(bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(c.written.size())), c.written)
            << c.value;
        EXPECT_EQ(out[c.written.size()], 0xEE) << "wrote past the expected bytes for " << c.value;
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
