// Identity reads of a chip: firmware version, socket information, cost-down
// bit, verification result and ring register, on the simulated board.
#include <gtest/gtest.h>

#include "board_map.h"
#include "sim_board.h"

using namespace board_map;
using sim::Op;

namespace {

constexpr int ZK = 0x0001;
constexpr int JQ = 0x0002;
constexpr int WZ = 0x0210;

size_t reads(uint32_t offset) { return sim::board().count(Op::RegRead, offset); }

size_t all_reads()
{
    size_t n = 0;
    for (const sim::Access& a : sim::board().trace)
        n += a.op == Op::RegRead;
    return n;
}

} // namespace

TEST(DeviceIdentity, FirmwareVersionReadsTheGroupsRegisterAndFormatsItsFields)
{
    struct Case {
        int id;
        uint32_t reg;
        uint32_t value;
        const char* text;
    } cases[] = {
        {ZK, FW_VERSION_REG_ZK, 0x01020304, "1.515.4"},
        {JQ, FW_VERSION_REG_JQ, 0x00000000, "0.0.0"},
        {0x000F, FW_VERSION_REG_JQ, 0x01020304, "1.515.4"},
        {WZ, FW_VERSION_REG_WZ, 0xFFFFFFFF, "255.65535.255"},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(c.id);
        chip.set_reg(c.reg, c.value);
        EXPECT_EQ(chip.dev.GetFirmwareVersion(), c.text) << std::hex << c.id;
        EXPECT_EQ(reads(c.reg), 1u) << std::hex << c.id;
        EXPECT_EQ(all_reads(), 1u) << std::hex << c.id;
        EXPECT_EQ(chip.log(), "") << "the version read logs nothing";
    }
}

TEST(DeviceIdentity, SocketInfoOfAJqChipSplitsTheBoardRegisterAndLogsBothReads)
{
    sim::SimChip chip(0x000B);
    chip.set_reg(JQ_BOARD_REG, 0x06000005);
    chip.set_reg(JQ_CID_REG, 0x00001234);
    SocketInfo info = chip.dev.GetSocketInfo();
    EXPECT_EQ(info.product_id, 3u);
    EXPECT_EQ(info.board_variant, 5u);
    EXPECT_EQ(info.customer_id, 0x1234u);

    // Bits outside 25-29 and 0-2 are not part of the fields.
    chip.set_reg(JQ_BOARD_REG, 0xC1FFFFF8 | 0x3E000000 | 0x2);
    info = chip.dev.GetSocketInfo();
    EXPECT_EQ(info.product_id, 0x1Fu);
    EXPECT_EQ(info.board_variant, 2u);

    const std::vector<sim::Access> expected = {{Op::RegRead, JQ_BOARD_REG, 0x06000005},
                                               {Op::RegRead, JQ_CID_REG, 0x1234}};
    EXPECT_EQ(std::vector<sim::Access>(sim::board().trace.begin(), sim::board().trace.begin() + 2), expected);
    const std::string first = "[     Info]  Function: GetSocketInfo()(674): \n"
                              "[     Info]  Get socket info(card_info/c_id_info)... \n"
                              "[     Info]  readReg addr: JQ_BOARD_REG, readReg value is: 0x6000005,product_id: 0x3 \n"
                              "[     Info]  readReg addr: JQ_CID_REG, readReg value is: 0x1234,customer_id: 0x1234  \n";
    EXPECT_EQ(chip.log().substr(0, first.size()), first);
}

TEST(DeviceIdentity, SocketInfoOfOtherChipsIsZeroWithoutARegisterRead)
{
    for (int id : {ZK, WZ}) {
        sim::SimChip chip(id);
        chip.set_reg(JQ_BOARD_REG, 0x06000005);
        chip.set_reg(JQ_CID_REG, 7);
        SocketInfo info = chip.dev.GetSocketInfo();
        EXPECT_EQ(info.product_id, 0u);
        EXPECT_EQ(info.board_variant, 0u);
        EXPECT_EQ(info.customer_id, 0u);
        EXPECT_TRUE(sim::board().trace.empty()) << std::hex << id;
        EXPECT_EQ(chip.log(), "[     Info]  Function: GetSocketInfo()(674): \n"
                              "[     Info]  Get socket info(card_info/c_id_info)... \n");
    }
}

TEST(DeviceIdentity, CostDownIsBitTwoClear)
{
    struct Case {
        uint32_t value;
        bool cost_down;
        const char* logged;
    } cases[] = {
        {0x4, false, "0x4"},
        {0x0, true, "0x0"},
        {0xFFFFFFFB, true, "0xfffffffb"},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(ZK);
        chip.set_reg(ZK_R610_COST_DOWN_REG, c.value);
        EXPECT_EQ(chip.dev.GetZK_R610Info(), c.cost_down) << std::hex << c.value;
        EXPECT_EQ(chip.log(), std::string("[     Info]  Function: GetZK_R610Info()(698): \n"
                                          "[     Info]  Get ZK_R610 info: \n"
                                          "[     Info]  readReg addr: ZK_R610_COST_DOWN_REG, readReg value is: ") +
                                  c.logged + " \n");
    }
}

TEST(DeviceIdentity, VerificationResultIsBits16To23EqualToFive)
{
    struct Case {
        uint32_t value;
        bool passed;
        const char* logged;
    } cases[] = {
        {0x00050000, true, "0x5"},
        {0xFF05FFFF, true, "0x5"},
        {0x00500000, false, "0x50"},
        {0x05000005, false, "0x0"},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(JQ);
        chip.set_reg(BAUD_REG, c.value);
        EXPECT_EQ(chip.dev.ReadVerifResultOfBaud(), c.passed) << std::hex << c.value;
        EXPECT_EQ(chip.log(), std::string("[     Info]  Function: ReadVerifResultOfBaud()(548): \n"
                                          "[     Info]  readReg addr: BAUD_REG, readReg value is: ") +
                                  c.logged + " \n");
    }
}

TEST(DeviceIdentity, RingRegisterOfEachGroupMustReadExactlyOne)
{
    struct Case {
        int id;
        uint32_t reg;
        uint32_t value;
        bool enabled;
    } cases[] = {
        {ZK, RING_ENABLE_REG_ZK, 1, true},   {ZK, RING_ENABLE_REG_ZK, 3, false},
        {JQ, RING_ENABLE_REG_OTHER, 1, true}, {JQ, RING_ENABLE_REG_OTHER, 3, false},
        {WZ, RING_ENABLE_REG_OTHER, 1, true}, {WZ, RING_ENABLE_REG_OTHER, 0, false},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(c.id);
        chip.set_reg(c.reg, c.value);
        EXPECT_EQ(chip.dev.RING_ENABLE(), c.enabled) << std::hex << c.id << " " << c.value;
        EXPECT_EQ(reads(c.reg), 1u);
        EXPECT_EQ(all_reads(), 1u);
    }
}

TEST(DeviceIdentity, RegisterAccessOutsideTheWindowFailsWithItsMessage)
{
    // A window too small for the version register: the read yields 0 after
    // its message and the write is dropped.
    sim::SimChip chip(JQ, 0x1000);
    EXPECT_EQ(chip.dev.ReadReg(static_cast<int>(FW_VERSION_REG_JQ)), 0u);
    chip.dev.WriteReg(0x0FFE, 0xFFFFFFFF);
    chip.dev.WriteReg(-4, 1);
    EXPECT_EQ(chip.log(), "[    FATAL]  Map device register failed when ReadReg!\n"
                          "[    FATAL]  Map device register failed!\n"
                          "[    FATAL]  Map device register failed!\n");
    EXPECT_TRUE(sim::board().trace.empty());
    EXPECT_EQ(chip.reg(0x0FFC), 0u);
}
