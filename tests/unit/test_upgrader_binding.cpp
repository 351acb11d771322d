// Binding the firmware file to the boards: targets, labels and the menu lines;
// and the upgrade run of a bound board over the simulated board.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "../e2e/engine_fixtures.h"
#include "board_map.h"
#include "sim_board.h"
#include "fakesys.h"
#include "upgrader.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;

namespace {

struct Fixture {
    FakeSystem fs;
    std::vector<std::unique_ptr<Board>> owned;

    Fixture() { EXPECT_EQ(chdir(fs.WorkDir().c_str()), 0); }

    // Binds the firmware file. A run keeps its firmware object until the
    // process ends; in a whole test program each binding test makes one, so
    // each is kept reachable here, and the leak check at the program's end
    // counts none of them.
    bool bind(Upgrader& upgrader, const std::string& path)
    {
        static std::vector<Firmware*>* kept = new std::vector<Firmware*>;
        bool bound = upgrader.SetFirmware(path);
        kept->push_back(upgrader.firmware);
        return bound;
    }

    Board* board(Upgrader& upgrader, const std::string& bdf, product_t product, const std::string& device = "0x0002",
                 const std::string& sw = "")
    {
        fs.AddPci(chip(bdf, device, sw));
        owned.push_back(std::make_unique<Board>());
        Board* b = owned.back().get();
        b->bdf = bdf;
        b->product = product;
        b->version = "1.0.0";
        upgrader.boards.push_back(b);
        return b;
    }
};

} // namespace

TEST(SetFirmware, TargetsLabelsAndSelection)
{
    Fixture f;
    ASSERT_TRUE(f.fs.ok());
    f.fs.WriteWorkFile("fw.hex", headered(4, 0, version_word(2, 0, 3), pattern(32)).text);  // JQ-R21A-8
    Upgrader upgrader(false);
    Board* fit = f.board(upgrader, "0000:03:00.0", JQ_R21A_8);
    f.board(upgrader, "0000:04:00.0", JQ_R33_16);
    ASSERT_TRUE(f.bind(upgrader, "fw.hex"));
    EXPECT_EQ(upgrader.targets, std::vector<Board*>{fit});
    EXPECT_EQ(upgrader.GetProductName(), "JQ-R21A-8");
    EXPECT_EQ(upgrader.GetFWVersion(), "V2.0.3");
    EXPECT_EQ(upgrader.items, std::vector<std::string>{"| JQ-R21A-8    | 0000:03:00.0 | 1.0.0         |"});
    EXPECT_EQ(upgrader.selected_items, upgrader.items);
}

// With other products accepted, every board but those of the ZK-R610 family
// is relabelled and taken.
TEST(SetFirmware, AcceptingOtherProductsRelabelsAllButZkR610)
{
    Fixture f;
    ASSERT_TRUE(f.fs.ok());
    f.fs.WriteWorkFile("fw.hex", headered(4, 0, version_word(2, 0, 3), pattern(32)).text);
    Upgrader upgrader(true);
    Board* zk = f.board(upgrader, "0000:01:00.0", ZK_R610);
    Board* zk_cd = f.board(upgrader, "0000:02:00.0", ZK_R610_CD);
    Board* jq = f.board(upgrader, "0000:03:00.0", JQ_R33_16);
    Board* wz = f.board(upgrader, "0000:04:00.0", WZ_R820);
    ASSERT_TRUE(f.bind(upgrader, "fw.hex"));
    EXPECT_EQ(upgrader.targets, (std::vector<Board*>{jq, wz}));
    EXPECT_EQ(jq->product, JQ_R21A_8);
    EXPECT_EQ(wz->product, JQ_R21A_8);
    EXPECT_EQ(zk->product, ZK_R610);
    EXPECT_EQ(zk_cd->product, ZK_R610_CD);
}

TEST(SetFirmware, ZkR610FileHasNoVersionLabel)
{
    Fixture f;
    ASSERT_TRUE(f.fs.ok());
    f.fs.WriteWorkFile("fw.hex", zk_image(pattern(64)).text);
    Upgrader upgrader(false);
    f.board(upgrader, "0000:01:00.0", ZK_R610);
    ASSERT_TRUE(f.bind(upgrader, "fw.hex"));
    EXPECT_EQ(upgrader.GetProductName(), "ZK-R610");
    EXPECT_EQ(upgrader.GetFWVersion(), "");
}

// A two-chip board whose partner is no target gets no line; the binding still
// succeeds, and the run then finds nothing selected.
TEST(SetFirmware, NoLineForALoneChipOfATwoChipBoard)
{
    Fixture f;
    ASSERT_TRUE(f.fs.ok());
    f.fs.WriteWorkFile("fw.hex", headered(3, 0, version_word(2, 0, 3), pattern(32)).text);  // ZK-R640-64
    Upgrader upgrader(false);
    Board* lone = f.board(upgrader, "0000:03:00.0", ZK_R640_64, "0x0007", "shared");
    f.board(upgrader, "0000:04:00.0", ZK_R640_S, "0x0007", "shared");  // the partner, of another product
    ASSERT_TRUE(f.bind(upgrader, "fw.hex"));
    EXPECT_EQ(upgrader.targets, std::vector<Board*>{lone});
    EXPECT_TRUE(upgrader.items.empty());
    EXPECT_TRUE(upgrader.selected_items.empty());
    EXPECT_FALSE(upgrader.StarUpgrade(false));
}

// The upgrade run of a bound ZK-R610 board over the simulated board: the new
// version is read back after the reset. A read that is lost there leaves the
// board upgraded (the SCPU's verdict and the end of the reset were read), but
// the lost read is said and never printed as a version.
TEST(UpgradeRun, NewVersionThatCannotBeReadAfterTheResetIsUnknown)
{
    size_t healthy_accesses = 0;
    for (bool lost : {false, true}) {
        SCOPED_TRACE(lost);
        Fixture f;
        ASSERT_TRUE(f.fs.ok());
        f.fs.WriteWorkFile("fw.hex", zk_image(pattern(64)).text);
        sim::SimChip chip(board_map::ZK_CHIP_ID);
        chip.set_reg(ZK_VERSION_REG, version_word(1, 1, 0));
        Upgrader upgrader(false);
        Board* zk = f.board(upgrader, chip.dev.bdf, ZK_R610, "0x0001");
        zk->version = "1.0.2";
        upgrader.devices[zk] = &chip.dev;
        ASSERT_TRUE(f.bind(upgrader, "fw.hex"));
        // The version read is the run's last board access: the healthy run counts them.
        if (lost)
            sim::board().fail_access = healthy_accesses;

        EXPECT_TRUE(upgrader.StarUpgrade(false));
        if (!lost)
            healthy_accesses = sim::board().accesses;
        EXPECT_EQ(chip.dev.FailedAccesses(), lost ? 1u : 0u);
        const std::string log = chip.log();
        const std::string upgraded = "[   record]  " + success(chip.dev.bdf, "1.0.2", lost ? "unknown" : "1.1.0");
        EXPECT_NE(log.find(upgraded), std::string::npos) << log;
        EXPECT_EQ(log.find("[    FATAL]  [" + chip.dev.bdf + "] The new firmware version could not be read.\n") !=
                      std::string::npos,
                  lost)
            << log;
        EXPECT_EQ(log.find("0.0.0"), std::string::npos) << log;
        upgrader.devices.clear();  // the chip's device is the test's
        upgrader.boards.clear();
    }
}
