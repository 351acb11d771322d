// CRC-16/XMODEM of firmware images and the stored-CRC comparison.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "firmware_scpu_share_misc_crc16.h"

namespace {
const unsigned char DIGITS[] = "123456789";
}

TEST(Crc16, CheckValueAndTableRule)
{
    EXPECT_EQ(crc16_ccitt(DIGITS, 9), 0x31C3);
    EXPECT_EQ(crc16_ccitt_new(DIGITS, 9, 0), 0x31C3);
    EXPECT_EQ(calcrc16(DIGITS, 9), 0x31C3);
    EXPECT_EQ(crc16_ccitt(DIGITS, 0), 0);

    // Each entry is the one-byte bitwise CRC of its index.
    EXPECT_EQ(crc16_ccitt_table[1], 0x1021);
    for (int i = 0; i < 256; i++) {
        unsigned char b = static_cast<unsigned char>(i);
        EXPECT_EQ(crc16_ccitt_table[i], calcrc16(&b, 1)) << i;
    }
}

TEST(Crc16, ThreeFormsAgreeAndChain)
{
    std::mt19937 gen(2024);
    for (int round = 0; round < 500; round++) {
        std::vector<unsigned char> data(gen() % 1500);
        for (auto& b : data)
            b = static_cast<unsigned char>(gen());
        uint32_t n = static_cast<uint32_t>(data.size());
        uint16_t crc = crc16_ccitt(data.data(), n);
        ASSERT_EQ(calcrc16(data.data(), n), crc) << n;
        ASSERT_EQ(crc16_ccitt_new(data.data(), n, 0), crc) << n;
        // The start value carries a CRC over a split: crc(a || b) = new(b, crc(a)).
        uint32_t cut = n ? static_cast<uint32_t>(gen() % n) : 0;
        ASSERT_EQ(crc16_ccitt_new(data.data() + cut, n - cut, crc16_ccitt(data.data(), cut)), crc) << n;
    }
}

TEST(Crc16, StoredCrcIsLowByteFirst)
{
    struct Case {
        std::vector<unsigned char> image;
        bool passes;
    };
    std::vector<unsigned char> digits(DIGITS, DIGITS + 9);
    auto with = [&](unsigned char a, unsigned char b) {
        std::vector<unsigned char> v = digits;
        v.push_back(a);
        v.push_back(b);
        return v;
    };
    const Case cases[] = {
        {with(0xC3, 0x31), true},
        {with(0x31, 0xC3), false},   // high byte first
        {with(0xC3, 0x30), false},
        {{0x00, 0x00}, true},        // two bytes: empty range, CRC 0
        {{0x00, 0x01}, false},
        {{0x01, 0x00}, false},
        {{0x00}, false},             // shorter than the CRC itself
        {{}, false},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> image = c.image;
        unsigned char spare = 0;
        unsigned char* data = image.empty() ? &spare : image.data();
        EXPECT_EQ(fw_crc_check(data, static_cast<uint32_t>(image.size())), c.passes) << image.size();
    }

    // A CRC of 0x1234 goes to the image as 0x34, 0x12; the other order fails.
    // Over two bytes the CRC takes every value once, so one body has it.
    std::vector<unsigned char> image;
    for (unsigned v = 0; v < 0x10000 && image.empty(); v++) {
        unsigned char body[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        if (crc16_ccitt(body, 2) == 0x1234)
            image = {body[0], body[1], 0x34, 0x12};
    }
    ASSERT_EQ(image.size(), 4u);
    EXPECT_TRUE(fw_crc_check(image.data(), 4));
    std::swap(image[2], image[3]);
    EXPECT_FALSE(fw_crc_check(image.data(), 4));
}
