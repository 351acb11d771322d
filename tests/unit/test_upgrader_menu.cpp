// Menu lines of the target boards, two-chip detection and chip pairing, over a
// fake sysfs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_map.h"
#include "fakesys.h"
#include "upgrader.h"
#include "upgrader_internal.h"

using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

using board_map::JQ_BOARD_REG;

// A chip under the switch named sw: four levels of bridges below it.
PciFunction chip(const std::string& bdf, const std::string& device, const std::string& sw)
{
    PciFunction fn;
    fn.bdf = bdf;
    fn.device = device;
    fn.node = "/sys/devices/pci0000:00/" + sw + "/up/down/slot/" + bdf;
    return fn;
}

struct Boards {
    std::vector<Board*> list;
    ~Boards()
    {
        for (Board* b : list)
            delete b;
    }
    Board* add(const std::string& bdf, const std::string& version = "1.2.3")
    {
        Board* b = new Board();
        b->bdf = bdf;
        b->version = version;
        list.push_back(b);
        return b;
    }
};

} // namespace

TEST(MenuLines, SingleChipLinesAndTheCutName)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(chip("0000:03:00.0", "0x0002", "swA"));
    fs.AddPci(chip("0000:04:00.0", "0x0210", "swB"));
    Boards boards;
    boards.add("0000:03:00.0", "1.515.4");
    boards.add("0000:04:00.0", "255.65535.255");

    Upgrader upgrader(false);
    std::vector<std::string> lines = upgrader.getAllItemString(boards.list, "ZK-R640-OAM_PA");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "| ZK-R640-OAM_ | 0000:03:00.0 | 1.515.4       |");
    EXPECT_EQ(lines[1], "| ZK-R640-OAM_ | 0000:04:00.0 | 255.65535.255 |");
    EXPECT_EQ(lines[0].size(), 47u);
    EXPECT_TRUE(upgrader.GetChipState());

    lines = upgrader.getAllItemString({boards.list[0]}, "WZ-R820");
    EXPECT_EQ(lines, std::vector<std::string>{"| WZ-R820      | 0000:03:00.0 | 1.515.4       |"});
}

// Two-chip detection: device IDs 7, 0xB and 0xF at once, other JQ chips by the
// product code of their board register.
TEST(MenuLines, TwoChipTest)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    struct Case {
        const char* device;
        uint32_t board_reg;  // product code in bits 25-29
        bool dual;
    };
    const Case cases[] = {
        {"0x0007", 0, true},         {"0x000B", 0, true},         {"0x000F", 0, true},
        {"0x0002", 3u << 25, true},  {"0x0002", 19u << 25, true}, {"0x0003", 16u << 25, true},
        {"0x0002", 8u << 25, true},  {"0x0002", 10u << 25, true}, {"0x0002", 26u << 25, true},
        {"0x0002", 9u << 25, true},  {"0x0002", 4u << 25, false}, {"0x0002", 0, false},
        {"0x0001", 0xffffffff, false},  // code 31
    };
    Upgrader upgrader(false);
    int n = 0;
    for (const Case& c : cases) {
        char bdf[16];
        snprintf(bdf, sizeof(bdf), "0000:%02x:00.0", 0x10 + n++);
        PciFunction fn = chip(bdf, c.device, "sw");
        fn.regs[JQ_BOARD_REG] = c.board_reg;
        fs.AddPci(fn);
        EXPECT_EQ(upgrader.ifDualClipboard(bdf), c.dual) << c.device << " " << std::hex << c.board_reg;
    }

    // A chip whose register window is missing or too small counts as single.
    PciFunction no_window = chip("0000:30:00.0", "0x0002", "sw");
    no_window.with_resource2 = false;
    fs.AddPci(no_window);
    PciFunction small = chip("0000:31:00.0", "0x0002", "sw");
    small.resource2_size = 0x100;
    fs.AddPci(small);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(upgrader.ifDualClipboard("0000:30:00.0"));
    EXPECT_FALSE(upgrader.ifDualClipboard("0000:31:00.0"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Failed to open register for 0000:30:00.0.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Failed to map device register. "), std::string::npos) << out;
}

TEST(MenuLines, SwitchPathAndPairing)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(chip("0000:03:00.0", "0x0007", "swA"));
    fs.AddPci(chip("0000:04:00.0", "0x0007", "swA"));
    fs.AddPci(chip("0000:05:00.0", "0x0007", "swB"));
    PciFunction shallow1, shallow2;  // nodes of four components: the root is their switch
    shallow1.bdf = "0000:06:00.0";
    shallow1.node = "/sys/devices/pci0000:06/0000:06:00.0";
    shallow2.bdf = "0000:07:00.0";
    shallow2.node = "/sys/devices/pci0000:07/0000:07:00.0";
    fs.AddPci(shallow1);
    fs.AddPci(shallow2);

    EXPECT_EQ(getDeviceSwitchPath("0000:03:00.0"), "/sys/devices/pci0000:00/swA");
    EXPECT_EQ(getDeviceSwitchPath("0000:06:00.0"), "/");
    EXPECT_EQ(getDeviceSwitchPath("0000:99:00.0"), "");

    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"0000:03:00.0", "0000:04:00.0", true},
        {"0000:03:00.0", "0000:05:00.0", false},
        {"0000:06:00.0", "0000:07:00.0", true},
        {"0000:98:00.0", "0000:99:00.0", false},  // neither resolves: not one board's
        {"0000:03:00.0", "0000:99:00.0", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chip_same_borad(c.a, c.b), c.same) << c.a << " " << c.b;
}

TEST(MenuLines, PairLines)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(chip("0000:03:00.0", "0x0007", "swA"));
    fs.AddPci(chip("0000:04:00.0", "0x0007", "swA"));
    fs.AddPci(chip("0000:05:00.0", "0x0007", "swB"));  // its partner is not a target
    fs.AddPci(chip("0000:81:00.0", "0x000F", "swC"));
    fs.AddPci(chip("0000:82:00.0", "0x000F", "swC"));
    fs.AddPci(chip("0000:83:00.0", "0x000F", "swC"));

    Upgrader upgrader(false);
    {
        Boards boards;
        boards.add("0000:03:00.0", "2.0.3");
        boards.add("0000:05:00.0");
        boards.add("0000:04:00.0", "2.0.1");
        std::vector<std::string> lines = upgrader.getAllItemString(boards.list, "ZK-R640-64");
        ASSERT_EQ(lines, std::vector<std::string>{"| ZK-R640-64   | 0000:03:00.0 / 04:00.0 | 2.0.3         |"});
        EXPECT_EQ(lines[0].size(), 57u);
        EXPECT_FALSE(upgrader.GetChipState());
        // The line selects both chips of the pair, in the boards' order.
        EXPECT_EQ(prase_ui_string(boards.list, lines), (std::vector<Board*>{boards.list[0], boards.list[2]}));
    }
    {
        // Three chips under one switch: X with Y, then Z with X.
        Boards boards;
        boards.add("0000:81:00.0");
        boards.add("0000:82:00.0");
        boards.add("0000:83:00.0");
        std::vector<std::string> lines = upgrader.getAllItemString(boards.list, "ZK-R640-S");
        EXPECT_EQ(lines, (std::vector<std::string>{"| ZK-R640-S    | 0000:81:00.0 / 82:00.0 | 1.2.3         |",
                                                   "| ZK-R640-S    | 0000:83:00.0 / 81:00.0 | 1.2.3         |"}));
    }
    {
        // The partner is not tested itself: a chip that tests single is taken
        // as a partner and still gets its own line, and it decides the layout.
        fs.AddPci(chip("0000:06:00.0", "0x0007", "swD"));
        fs.AddPci(chip("0000:07:00.0", "0x0002", "swD"));
        Boards boards;
        boards.add("0000:06:00.0", "3.0.0");
        boards.add("0000:07:00.0", "3.0.1");
        std::vector<std::string> lines = upgrader.getAllItemString(boards.list, "ZK-R640-64");
        EXPECT_EQ(lines, (std::vector<std::string>{"| ZK-R640-64   | 0000:06:00.0 / 07:00.0 | 3.0.0         |",
                                                   "| ZK-R640-64   | 0000:07:00.0 | 3.0.1         |"}));
        EXPECT_TRUE(upgrader.GetChipState());
    }
}
