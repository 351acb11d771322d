// The real binary over the fake system with boards whose register or memory
// window cannot serve the tool, beside healthy boards.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_fixtures.h"
#include "fakesys.h"
#include "scpu_responder.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

const char* const READ_MAP_FAILURE = "Map device register failed when ReadReg!\n";

// The function with a register window of the given size and no register preset.
PciFunction with_register_window(PciFunction fn, size_t size)
{
    fn.regs.clear();
    fn.resource2_size = size;
    return fn;
}

} // namespace

// A memory window that cannot hold the image: the copy does not happen, so no
// command goes to that board's SCPU and the board is reported as failed; the
// healthy board beside it is upgraded.
TEST(EngineWindows, ImageThatDoesNotFitTheMemoryWindowFailsItsBoard)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    PciFunction small = jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0));
    small.resource0_size = 0x840;  // the image would end at 0x8CA
    fs.AddPci(small);
    fs.AddPci(jq_board("0000:04:00.0", 4, 0, version_word(1, 0, 0)));
    Image fw = headered(4, 0, version_word(2, 0, 3), pattern(200));
    ASSERT_EQ(fw.image.size(), 202u);
    fs.WriteWorkFile("zk_firmware.hex", fw.text);
    ScpuResponder scpu;
    scpu.Add({resource2("0000:03:00.0")});
    scpu.Add({resource2("0000:04:00.0")});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Map device memory failed!\n[0000:03:00.0] Failed to upgrade firmware\n");
    EXPECT_EQ(r.out, START_LINE + success("0000:04:00.0", "1.0.0", "2.0.3") + reboot_advice("2.0.3"));
    EXPECT_TRUE(scpu.Commands(resource2("0000:03:00.0")).empty());
    EXPECT_EQ(scpu.Commands(resource2("0000:04:00.0")).size(), 1u);
    EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 0x40), std::string(0x40, '\0'));
}

// Chips of every group whose register window cannot be mapped (empty, or too
// small for the identity registers) are dropped after the failed reads: not
// listed, no target, and the zeros they would read (product code 0 names a
// JQ-R610-32 whose verification fails) do not take the driver out.
TEST(EngineWindows, ChipsWhoseRegistersCannotBeReadAreNotBoards)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:02:00.0", 0, 0, version_word(1, 0, 0)));  // a JQ-R610-32 that passes its check
    fs.AddPci(with_register_window(jq_board("0000:03:00.0", 0, 0, 0), 0));
    fs.AddPci(with_register_window(zk_board("0000:04:00.0", 0), 0x1000));
    fs.AddPci(with_register_window(wz_board("0000:05:00.0", 0), 0x1000));
    FakeSystem::MakeDirs("/var/lib/dkms/nudra/1.2.3");
    const std::string module_file = FakeSystem::ModuleDir() + "/brenvoda.ko";
    FakeSystem::WriteFile(module_file, "module");

    auto list = fs.Run({"--list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "NUM  DEVICE        PRODUCT     VERSION\n"
                        "0    0000:02:00.0  JQ-R610-32  1.0.0\n");
    EXPECT_NE(list.err.find(READ_MAP_FAILURE), std::string::npos) << list.err;

    fs.WriteWorkFile("zk_firmware.hex", headered(0, 0, version_word(2, 0, 3), pattern(64)).text);
    ScpuResponder scpu;
    scpu.Add({resource2("0000:02:00.0")});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();
    auto run = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, START_LINE + success("0000:02:00.0", "1.0.0", "2.0.3") + reboot_advice("2.0.3"));
    EXPECT_EQ(scpu.Commands(resource2("0000:02:00.0")).size(), 1u);
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile(module_file), "module");
    const std::string log = log_text();
    EXPECT_NE(log.find("BDF[ 0000:02:00.0 ]"), std::string::npos) << log;
    EXPECT_EQ(log.find("BDF[ 0000:03:00.0 ]"), std::string::npos) << log;
}

namespace {

const char* const REBOOT_REQUEST = "IMPORTANT:\n    Please reboot system before upgrading firmware !!!\n\n";

std::string unread_verification(const std::string& bdf)
{
    return "[" + bdf + "] The verification result could not be read, skip upgrade.\n";
}

std::string untested_pair(const std::string& bdf)
{
    return "[" + bdf + "] Could not tell whether the chip is one of a two-chip board, skip upgrade.\n";
}

std::string unchecked_pass_through(const std::string& bdf)
{
    return "[" + bdf + "] Could not check whether the board is passed through to a virtual machine, skip upgrade.\n";
}

// A JQ-R610-32 (product code 0) or JQ-R33-16 (code 1) board whose
// verification register passes, on a chip of the given device ID and switch.
PciFunction verified_board(const std::string& bdf, uint32_t code, const std::string& device = "0x0002",
                           const std::string& sw = "")
{
    return jq_board(bdf, code, 0, version_word(1, 0, 0), device, sw);
}

} // namespace

// A board of products 8 and 11 whose register window stops mapping after
// discovery reads its verification register as 0. That is neither a pass
// nor a fail: the board is named and passed over for the run (no target, no
// menu line), the driver stays in place, the boards beside it are upgraded
// and the run fails. The window is lost through a `cat` stand-in: its n-th
// call, the last of the two-chip tests of the menu lines, empties the
// board's resource2 file. (The fake sysfs lists the board added last first,
// so the board passed over is examined before the others; the checks hold
// in any order.) A board that is the only target loses its window at its own
// two-chip test, so it is passed over there as well.
TEST(EngineWindows, LostVerificationReadPassesTheBoardOver)
{
    struct Case {
        const char* what;
        Image fw;
        std::vector<PciFunction> boards;  // the last is the one that loses its window
        int nth_cat;                      // the call that empties it
        std::vector<std::string> upgraded;
        std::string err_tail;  // what stderr holds after the pass-over line
        bool taken_out;
        std::string err_head = "";  // what stderr holds before the lost read
    };
    const uint32_t v = version_word(2, 0, 3);
    PciFunction failing = verified_board("0000:05:00.0", 1);
    failing.regs[BAUD_REG] = 0x00500000;
    const std::vector<Case> cases = {
        {"a target beside a healthy one", headered(0, 0, v, pattern(64)),
         {verified_board("0000:04:00.0", 0), verified_board("0000:03:00.0", 0)}, 2, {"0000:04:00.0"}, "", false},
        {"a board that is no target", headered(4, 0, v, pattern(64)),
         {jq_board("0000:04:00.0", 4, 0, version_word(1, 0, 0)), verified_board("0000:03:00.0", 1)}, 1,
         {"0000:04:00.0"}, "", false},
        {"the only target", headered(0, 0, v, pattern(64)), {verified_board("0000:03:00.0", 0)}, 1, {},
         "No 'JQ-R610-32' GPU is left to upgrade.\n", false, untested_pair("0000:03:00.0")},
        // The other chip of the pair is left without a line and not upgraded.
        {"one chip of a pair", headered(0, 0, v, pattern(64)),
         {verified_board("0000:05:00.0", 0), verified_board("0000:04:00.0", 0, "0x0007", "card1"),
          verified_board("0000:03:00.0", 0, "0x0007", "card1")},
         3, {"0000:05:00.0"}, "", false},
        // A board that fails its check after it still takes the driver out.
        {"before a board that fails its check", headered(4, 0, v, pattern(64)),
         {failing, jq_board("0000:04:00.0", 4, 0, version_word(1, 0, 0)), verified_board("0000:03:00.0", 1)}, 1, {},
         REBOOT_REQUEST, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        for (const PciFunction& fn : c.boards)
            fs.AddPci(fn);
        const std::string victim = c.boards.back().bdf;
        FakeSystem::MakeDirs("/var/lib/dkms/nudra/1.2.3");
        const std::string module_file = FakeSystem::ModuleDir() + "/brenvoda.ko";
        FakeSystem::WriteFile(module_file, "module");
        fs.WriteWorkFile("zk_firmware.hex", c.fw.text);
        const std::string counter = fs.ScratchDir() + "/cat-count";
        fs.SetStandIn("cat", "echo >> '" + counter + "'\n[ $(wc -l < '" + counter + "') -eq " +
                                 std::to_string(c.nth_cat) + " ] && : > '" + resource2(victim) +
                                 "'\nexec /bin/cat \"$@\"");
        ScpuResponder scpu;
        for (size_t i = 0; i + 1 < c.boards.size(); ++i)
            scpu.Add({resource2(c.boards[i].bdf)});
        ASSERT_TRUE(scpu.Start()) << scpu.Error();

        auto r = fs.Run({"--silent"});
        scpu.Stop();
        EXPECT_EQ(r.status, 255);
        if (c.taken_out) {
            EXPECT_TRUE(ends_with(r.err, c.err_tail)) << r.err;
        } else {
            EXPECT_EQ(r.err, c.err_head + READ_MAP_FAILURE + unread_verification(victim) + c.err_tail);
        }
        for (size_t i = 0; i + 1 < c.boards.size(); ++i) {
            const std::string& bdf = c.boards[i].bdf;
            bool upgraded = std::find(c.upgraded.begin(), c.upgraded.end(), bdf) != c.upgraded.end();
            EXPECT_EQ(r.out.find(success(bdf, "1.0.0", "2.0.3")) != std::string::npos, upgraded) << bdf << r.out;
            EXPECT_EQ(scpu.Commands(resource2(bdf)).size(), upgraded ? 1u : 0u) << bdf;
        }
        EXPECT_EQ(r.out.find(victim), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(START_LINE) != std::string::npos, !c.upgraded.empty()) << r.out;
        EXPECT_EQ(fs.ReadMem(victim, 0x800, 16), std::string(16, '\0'));

        // The driver is taken out only for a board that failed its check.
        EXPECT_EQ(fs.DkmsCalls(), c.taken_out ? std::vector<std::string>{"remove nudra/1.2.3 --all"}
                                              : std::vector<std::string>{});
        EXPECT_EQ(FakeSystem::Exists(module_file), !c.taken_out);
        EXPECT_EQ(r.err.find(REBOOT_REQUEST) != std::string::npos, c.taken_out) << r.err;
        // The walk goes on after the board passed over.
        const std::string log = log_text();
        for (const PciFunction& fn : c.boards) {
            if (fn.regs.at(JQ_BOARD_REG) >> 25 <= 1) {
                EXPECT_NE(log.find("BDF[ " + fn.bdf + " ]"), std::string::npos) << fn.bdf << log;
            }
        }
        EXPECT_NE(log.find("[    FATAL]  " + unread_verification(victim)), std::string::npos) << log;
    }
}

// A board bound to vfio-pci whose ring register cannot be read (a register
// window too short for 0x1F000) is not taken as free of a virtual machine's
// driver: it is named and passed over, the boards beside it are upgraded and
// the run fails.
TEST(EngineWindows, LostRingReadPassesTheBoardOver)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    auto vfio = [](PciFunction fn) {
        fn.uevent = "DRIVER=vfio-pci\nPCI_SLOT_NAME=" + fn.bdf + "\n";
        return fn;
    };
    PciFunction short_window = vfio(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    short_window.resource2_size = 0x10000;
    fs.AddPci(short_window);
    fs.AddPci(vfio(jq_board("0000:04:00.0", 4, 0, version_word(1, 0, 0))));  // ring register 0
    fs.AddPci(jq_board("0000:05:00.0", 4, 0, version_word(1, 0, 0)));
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);
    ScpuResponder scpu;
    for (const char* bdf : {"0000:03:00.0", "0000:04:00.0", "0000:05:00.0"})
        scpu.Add({resource2(bdf)});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, READ_MAP_FAILURE + unchecked_pass_through("0000:03:00.0"));
    EXPECT_TRUE(scpu.Commands(resource2("0000:03:00.0")).empty());
    EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 16), std::string(16, '\0'));
    for (const char* bdf : {"0000:04:00.0", "0000:05:00.0"}) {
        EXPECT_NE(r.out.find(success(bdf, "1.0.0", "2.0.3")), std::string::npos) << r.out;
        EXPECT_EQ(scpu.Commands(resource2(bdf)).size(), 1u) << bdf;
    }
    EXPECT_TRUE(ends_with(r.out, reboot_advice("2.0.3"))) << r.out;
    EXPECT_NE(log_text().find("[    FATAL]  " + unchecked_pass_through("0000:03:00.0")), std::string::npos);
}

// A chip whose two-chip test cannot be made (its register window moved away
// or emptied after discovery, its device file not printed by cat) is neither
// a single chip nor one of a pair: it is named and passed over, and so is
// the pair it belongs to, so that no board is flashed twice or by halves. A
// healthy pair beside it is upgraded; the run fails. The tests are lost
// through a `cat` stand-in that acts when it is asked for a victim's device
// file; the device keeps the window it opened at discovery, so a chip that
// was flashed anyway would show in the responder's record.
TEST(EngineWindows, TwoChipTestThatCannotBeMadePassesThePairOver)
{
    struct Case {
        const char* what;
        std::vector<std::string> victims;
        const char* action;  // shell text run for a victim's device file; d is its directory
        bool healthy_pair;   // a second, healthy pair is a target too
    };
    const std::vector<Case> cases = {
        {"register window moved away", {"0000:82:00.0"}, "mv \"$d/resource2\" \"$d/resource2.gone\"", true},
        {"register window emptied", {"0000:82:00.0"}, ": > \"$d/resource2\"", true},
        {"cat fails", {"0000:82:00.0"}, "exit 1", true},
        {"cat prints nothing", {"0000:82:00.0"}, "exit 0", true},
        {"both chips' windows moved away", {"0000:81:00.0", "0000:82:00.0"},
         "mv \"$d/resource2\" \"$d/resource2.gone\"", true},
        {"the only pair", {"0000:82:00.0"}, "mv \"$d/resource2\" \"$d/resource2.gone\"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        // ZK-R640-64 chips (product code 3, a two-chip product), read through the board register.
        std::vector<std::string> healthy;
        if (c.healthy_pair)
            healthy = {"0000:03:00.0", "0000:04:00.0"};
        const std::vector<std::string> lost = {"0000:81:00.0", "0000:82:00.0"};
        ScpuResponder scpu;
        for (const std::string& bdf : healthy) {
            fs.AddPci(jq_board(bdf, 3, 0, version_word(1, 0, 0), "0x0002", "card1"));
            scpu.Add({resource2(bdf)});
        }
        for (const std::string& bdf : lost) {
            fs.AddPci(jq_board(bdf, 3, 0, version_word(1, 0, 0), "0x0002", "card2"));
            scpu.Add({resource2(bdf)});
        }
        std::string patterns;
        for (const std::string& bdf : c.victims)
            patterns += (patterns.empty() ? "*/" : "|*/") + bdf + "/device";
        fs.SetStandIn("cat", "case \"$1\" in " + patterns + ") d=$(dirname \"$1\"); " + c.action +
                                 " ;; esac\nexec /bin/cat \"$@\"");
        fs.WriteWorkFile("zk_firmware.hex", headered(3, 0, version_word(2, 0, 3), pattern(64)).text);
        ASSERT_TRUE(scpu.Start()) << scpu.Error();

        auto r = fs.Run({"--silent"});
        scpu.Stop();
        EXPECT_EQ(r.status, 255);
        // Each victim named once, then the end of a run with nothing left.
        const std::string tail = c.healthy_pair ? "" : "No 'ZK-R640-64' GPU is left to upgrade.\n";
        size_t named = 0;
        for (const std::string& bdf : c.victims) {
            EXPECT_EQ(count(r.err, untested_pair(bdf)), 1u) << r.err;
            named += untested_pair(bdf).size();
        }
        EXPECT_EQ(r.err.size(), named + tail.size()) << r.err;
        EXPECT_TRUE(ends_with(r.err, tail)) << r.err;
        for (const std::string& bdf : lost) {
            EXPECT_TRUE(scpu.Commands(resource2(bdf)).empty()) << bdf;
            EXPECT_EQ(r.out.find("[" + bdf + "]"), std::string::npos) << r.out;
        }
        for (const std::string& bdf : healthy) {
            EXPECT_EQ(scpu.Commands(resource2(bdf)).size(), 1u) << bdf;
            EXPECT_NE(r.out.find(success(bdf, "1.0.0", "2.0.3")), std::string::npos) << r.out;
        }
        EXPECT_EQ(r.out.find(START_LINE) != std::string::npos, c.healthy_pair) << r.out;
        const std::string log = log_text();
        for (const std::string& bdf : c.victims)
            EXPECT_NE(log.find("[    FATAL]  " + untested_pair(bdf)), std::string::npos) << log;
        EXPECT_TRUE(ends_with(log, "Qvfw-tool is exit ...\n\n")) << log;
    }
}
