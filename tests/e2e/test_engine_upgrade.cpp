// The real binary over the fake system: unattended upgrade runs, with the SCPU
// responder completing the boards' mailbox commands.
#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "engine_fixtures.h"
#include "fakesys.h"
#include "scpu_responder.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

uint32_t command_word(size_t length, uint32_t opcode)
{
    return static_cast<uint32_t>((length << 12) & 0x3FFFF000u) | opcode;
}

} // namespace

// A JQ board through the memory window: the image at byte 0x800, one command
// of opcode 0x0B, the file's version and the reboot advice.
TEST(EngineUpgrade, JqBoardByMemoryWindow)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    Image fw = headered(4, 0, version_word(2, 0, 3), pattern(200));
    fs.WriteWorkFile("JQ-R21A-8-00_V1.1.0.hex", fw.text);
    ScpuResponder scpu;
    scpu.Add({resource2("0000:03:00.0")});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, START_LINE + success("0000:03:00.0", "1.0.0", "2.0.3") + reboot_advice("2.0.3"));
    EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, fw.image.size() + 1), to_string(fw.image) + '\0');
    std::vector<ScpuCommand> seen = scpu.Commands(resource2("0000:03:00.0"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].command, command_word(fw.image.size(), 0x0B));

    std::string log = log_text();
    EXPECT_NE(log.find("[   record]  " + success("0000:03:00.0", "1.0.0", "2.0.3")), std::string::npos);
    EXPECT_EQ(log.find("IMPORTANT"), std::string::npos);  // the advice is not logged
    EXPECT_TRUE(ends_with(log, "Qvfw-tool is exit ...\n\n"));
}

// A ZK-R610 board with an unsigned image: transfer, warm reset, and the version
// that the board reports afterwards; no reboot advice.
TEST(EngineUpgrade, ZkBoardIsResetAndReadBack)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(zk_board("0000:01:00.0", version_word(1, 0, 2)));
    Image fw = zk_image(pattern(300));
    fs.WriteWorkFile("zk610_150w_v1.1.0.hex", fw.text);
    ScpuResponder scpu;
    ScpuBoard board{resource2("0000:01:00.0")};
    board.version_after_reset = version_word(1, 1, 0);
    scpu.Add(board);
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, START_LINE + success("0000:01:00.0", "1.0.2", "1.1.0"));
    EXPECT_EQ(fs.ReadMem("0000:01:00.0", 0x800, fw.image.size()), to_string(fw.image));
    std::vector<uint32_t> words;
    for (const ScpuCommand& c : scpu.Commands(resource2("0000:01:00.0")))
        words.push_back(c.command);
    EXPECT_EQ(words, (std::vector<uint32_t>{command_word(fw.image.size(), 0x0B), 0x400F, 0x4005, 0x4004, 0x10000}));
}

TEST(EngineUpgrade, WzBoardByItsMailbox)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(wz_board("0000:05:00.0", version_word(2, 0, 0)));
    Image fw = wz_image(version_word(2, 0, 3), pattern(100));
    fs.WriteWorkFile("zk640_400w_v2.0.3.hex", fw.text);
    ScpuResponder scpu;
    scpu.Add({resource2("0000:05:00.0")});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, START_LINE + success("0000:05:00.0", "2.0.0", "2.0.3") + reboot_advice("2.0.3"));
    EXPECT_EQ(fs.ReadMem("0000:05:00.0", 0x800, fw.image.size()), to_string(fw.image));
    std::vector<ScpuCommand> seen = scpu.Commands(resource2("0000:05:00.0"));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].wz);
    EXPECT_EQ(seen[0].command, 11u);
    EXPECT_EQ(seen[0].argument, fw.image.size());
}

// "--sram-mode": one command per 1024-byte chunk, each carrying the whole
// length; the memory window stays untouched.
TEST(EngineUpgrade, SramMode)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    Image fw = headered(4, 0, version_word(2, 0, 3), pattern(1028));
    ASSERT_EQ(fw.image.size(), 1030u);
    fs.WriteWorkFile("zk_firmware.hex", fw.text);
    ScpuResponder scpu;
    scpu.Add({resource2("0000:03:00.0")});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent", "--sram-mode"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, START_LINE + success("0000:03:00.0", "1.0.0", "2.0.3") + reboot_advice("2.0.3"));
    std::vector<ScpuCommand> seen = scpu.Commands(resource2("0000:03:00.0"));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].command, 0x406019u);
    EXPECT_EQ(seen[1].command, 0x406019u);
    EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 16), std::string(16, '\0'));
}

// "--sram-mode" takes the SCPU's verdict from the result word after the last
// command: a board whose SCPU answers with a flash failure, and one where
// nothing answers the mailbox at all (the busy word reads 0 and the result
// word holds the 0 the tool wrote), are reported failed, not upgraded.
TEST(EngineUpgrade, SramModeFailsABoardWhoseScpuRefusesOrDoesNotAnswer)
{
    struct Case {
        const char* what;
        bool zk;
        bool answers;       // a responder answers every command with result 5 and status bits
        std::string decoded;  // the decoded verdict on standard error
    } cases[] = {
        {"JQ board, flash failure", false, true,
         "Error: read/write flash failure.\nCheck mailbox error: Erase spi flash failure.\n"},
        {"ZK board, flash failure", true, true, "Check mailbox error: Write spi flash failure.\n"},
        {"JQ board, nothing answers", false, false, "Error: write failure.\n"},
        {"ZK board, nothing answers", true, false, "Error: unknown error.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        const std::string bdf = c.zk ? "0000:01:00.0" : "0000:03:00.0";
        fs.AddPci(c.zk ? zk_board(bdf, version_word(1, 0, 2)) : jq_board(bdf, 4, 0, version_word(1, 0, 0)));
        if (c.zk)
            fs.WriteWorkFile("zk610_150w_v1.1.0.hex", zk_image(pattern(64)).text);
        else
            fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);
        ScpuResponder scpu;
        ScpuBoard board{resource2(bdf)};
        board.fail_on_command = 0;  // a small image: the only command
        board.fail_result = 5;
        board.fail_status = c.zk ? 0x2000 : 0x1000;
        scpu.Add(board);
        if (c.answers) {
            ASSERT_TRUE(scpu.Start()) << scpu.Error();
        }

        auto r = fs.Run({"--silent", "--sram-mode"});
        scpu.Stop();
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, START_LINE) << "no success line, no reboot advice";
        EXPECT_EQ(r.err, c.decoded + "[" + bdf + "] Failed to upgrade firmware\n");
        EXPECT_EQ(scpu.Commands(resource2(bdf)).size(), c.answers ? 1u : 0u);
        if (!c.answers) {
            EXPECT_NE(fs.ReadReg(bdf, MAILBOX_CMD), 0u) << "the command was written";
        }
    }
}

// A board whose SCPU refuses the image does not stop the healthy board beside it.
TEST(EngineUpgrade, SramModeUpgradesTheHealthyBoardBesideARefusingOne)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    ScpuResponder scpu;
    for (const char* bdf : {"0000:03:00.0", "0000:04:00.0"}) {
        fs.AddPci(jq_board(bdf, 4, 0, version_word(1, 0, 0)));
        ScpuBoard board{resource2(bdf)};
        if (std::string(bdf) == "0000:03:00.0") {
            board.fail_on_command = 0;
            board.fail_result = 5;
        }
        scpu.Add(board);
    }
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent", "--sram-mode"});
    scpu.Stop();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, START_LINE + success("0000:04:00.0", "1.0.0", "2.0.3") + reboot_advice("2.0.3"));
    EXPECT_EQ(r.err, "Error: read/write flash failure.\n[0000:03:00.0] Failed to upgrade firmware\n");
}

// One of three boards fails its transfer: the others are upgraded, the run
// fails, and the advice is still given.
TEST(EngineUpgrade, OneOfThreeBoardsFails)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    ScpuResponder scpu;
    for (const char* bdf : {"0000:03:00.0", "0000:04:00.0", "0000:05:00.0"}) {
        fs.AddPci(jq_board(bdf, 4, 0, version_word(1, 0, 0)));
        ScpuBoard board{resource2(bdf)};
        if (std::string(bdf) == "0000:04:00.0")
            board.fail_on_command = 0;  // result word 3: wrong CRC
        scpu.Add(board);
    }
    Image fw = headered(4, 0, version_word(2, 0, 3), pattern(64));
    fs.WriteWorkFile("zk_firmware.hex", fw.text);
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.find(START_LINE), 0u) << r.out;
    EXPECT_NE(r.out.find(success("0000:03:00.0", "1.0.0", "2.0.3")), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(success("0000:05:00.0", "1.0.0", "2.0.3")), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("0000:04:00.0"), std::string::npos) << r.out;
    EXPECT_TRUE(ends_with(r.out, reboot_advice("2.0.3"))) << r.out;
    EXPECT_NE(r.err.find("Error: wrong crc.\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[0000:04:00.0] Failed to upgrade firmware\n"), std::string::npos) << r.err;
    EXPECT_EQ(fs.ReadMem("0000:05:00.0", 0x800, fw.image.size()), to_string(fw.image));
    EXPECT_TRUE(ends_with(log_text(), "Qvfw-tool is exit ...\n\n"));
}

// Boards bound to vfio-pci: skipped only while the ring register reads 1.
TEST(EngineUpgrade, PassThroughBoards)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    ScpuResponder scpu;
    struct Case {
        const char* bdf;
        bool vfio;
        uint32_t ring;
        bool upgraded;
    };
    const Case cases[] = {
        {"0000:03:00.0", true, 1, false},
        {"0000:04:00.0", true, 0, true},
        {"0000:05:00.0", false, 1, true},
    };
    for (const Case& c : cases) {
        PciFunction fn = jq_board(c.bdf, 4, 0, version_word(1, 0, 0));
        if (c.vfio)
            fn.uevent = "DRIVER=vfio-pci\nPCI_SLOT_NAME=" + std::string(c.bdf) + "\n";
        fn.regs[JQ_RING_REG] = c.ring;
        fs.AddPci(fn);
        scpu.Add({resource2(c.bdf)});
    }
    Image fw = headered(4, 0, version_word(2, 0, 3), pattern(64));
    fs.WriteWorkFile("zk_firmware.hex", fw.text);
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 255);
    for (const Case& c : cases) {
        EXPECT_EQ(r.out.find(success(c.bdf, "1.0.0", "2.0.3")) != std::string::npos, c.upgraded) << c.bdf;
        EXPECT_EQ(scpu.Commands(resource2(c.bdf)).size(), c.upgraded ? 1u : 0u) << c.bdf;
    }
    EXPECT_EQ(r.err, "[0000:03:00.0] passthrough VM and the driver on the VM has been loaded, skip upgrade.\n");
    EXPECT_TRUE(ends_with(r.out, reboot_advice("2.0.3")));
}

// A pass-through check that gives no answer of its own is no "not passed
// through": grep that ends with neither "matched" (status 0, with output) nor
// "no match" (status 1, no output), or a uevent file that the tool cannot
// open, passes the board over with a line that names it, and the run fails.
// The board is bound to vfio-pci with the virtual machine's driver loaded, so
// taking it for a free board would flash it; the board beside it is upgraded.
// The grep stand-in misbehaves only for the uevent text of that board.
TEST(EngineUpgrade, UnansweredPassThroughCheckPassesTheBoardOver)
{
    struct Case {
        const char* what;
        const char* grep;  // shell text run for the board's uevent; empty: the real grep
        bool with_uevent;
    };
    const Case cases[] = {
        {"grep fails", "exit 2", true},
        {"grep is killed", "kill -KILL $$", true},
        {"status 0 without output", "exit 0", true},
        {"output with status 1", "echo DRIVER=vfio-pci; exit 1", true},
        {"no uevent file", "", false},
    };
    const std::string bdf = "0000:03:00.0";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        PciFunction vm = jq_board(bdf, 4, 0, version_word(1, 0, 0));
        vm.uevent = "DRIVER=vfio-pci\nPCI_SLOT_NAME=" + bdf + "\n";
        vm.with_uevent = c.with_uevent;
        vm.regs[JQ_RING_REG] = 1;
        fs.AddPci(vm);
        fs.AddPci(jq_board("0000:04:00.0", 4, 0, version_word(1, 0, 0)));
        fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);
        if (*c.grep != '\0')
            fs.SetStandIn("grep", "input=$(/bin/cat)\ncase \"$input\" in *PCI_SLOT_NAME=" + bdf + "*) " + c.grep +
                                      ";; esac\nprintf '%s\\n' \"$input\" | exec /bin/grep \"$@\"");
        ScpuResponder scpu;
        scpu.Add({resource2(bdf)});
        scpu.Add({resource2("0000:04:00.0")});
        ASSERT_TRUE(scpu.Start()) << scpu.Error();

        auto r = fs.Run({"--silent"});
        scpu.Stop();
        const std::string skipped =
            "[" + bdf + "] Could not check whether the board is passed through to a virtual machine, skip upgrade.\n";
        EXPECT_EQ(r.status, 255);
        // (The shell may report a killed grep before.)
        EXPECT_TRUE(ends_with(r.err, skipped)) << r.err;
        EXPECT_EQ(r.err.find("0000:04:00.0"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, START_LINE + success("0000:04:00.0", "1.0.0", "2.0.3") + reboot_advice("2.0.3"));
        EXPECT_TRUE(scpu.Commands(resource2(bdf)).empty());
        EXPECT_EQ(fs.ReadMem(bdf, 0x800, 16), std::string(16, '\0'));
        EXPECT_EQ(scpu.Commands(resource2("0000:04:00.0")).size(), 1u);
        EXPECT_NE(log_text().find("[    FATAL]  " + skipped), std::string::npos);
    }
}

// The run runs out of descriptors during its board loop: a `cat` stand-in,
// at the first pass-through check, lowers the tool's descriptor limit to the
// lowest number that is free once that check's pipe is closed, so that every
// later open or pipe fails. The board checked first is answered and skipped
// as usual; the other one's check cannot be made, so it is passed over and
// not flashed. The put-back cannot read the record, which stays, and the
// module file's move back cannot start, which is reported.
TEST(EngineUpgrade, DescriptorsRunOutDuringTheBoardLoop)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::vector<std::string> bdfs = {"0000:03:00.0", "0000:04:00.0"};
    for (const std::string& bdf : bdfs) {
        PciFunction fn = jq_board(bdf, 1, 0, version_word(1, 0, 0));  // JQ-R33-16
        fn.uevent = "DRIVER=vfio-pci\nPCI_SLOT_NAME=" + bdf + "\n";
        fn.regs[JQ_RING_REG] = 1;
        fs.AddPci(fn);
    }
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(2, 0, 3), pattern(64)).text);
    FakeSystem::WriteFile("/var/log/dkms.log", "nudra/1.2.3\n");
    FakeSystem::MakeDirs("/usr/src/nudra-1.2.3");
    const std::string backup = FakeSystem::ModuleDir() + "/brenvoda.ko.bk";
    FakeSystem::WriteFile(backup, "module");
    const std::string proc = fs.HostProcDir();
    const std::string done = fs.ScratchDir() + "/limited";
    // The shell that runs the pipeline is the stand-in's parent and the
    // tool's child; the shell's standard output is the pipe that the tool reads.
    fs.SetStandIn("cat", "case \"$1\" in */uevent)\n"
                         "  if [ ! -e '" + done + "' ]; then\n"
                         "    : > '" + done + "'\n"
                         "    tool=$(cut -d' ' -f4 " + proc + "/$PPID/stat)\n"
                         "    pipe=$(readlink " + proc + "/$PPID/fd/1)\n"
                         "    low=0\n"
                         "    while [ -e " + proc + "/$tool/fd/$low ] && [ \"$(readlink " + proc +
                         "/$tool/fd/$low)\" != \"$pipe\" ]; do low=$((low + 1)); done\n"
                         "    prlimit --pid \"$tool\" --nofile=$low:$low\n"
                         "  fi;;\n"
                         "esac\n"
                         "exec /bin/cat \"$@\"");

    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    std::vector<std::string> cats;
    for (const std::string& call : fs.Calls("cat"))
        if (call.size() > 7 && call.compare(call.size() - 7, 7, "/uevent") == 0)
            cats.push_back(call);
    ASSERT_EQ(cats.size(), 1u) << "the second check runs no command";
    const std::string first = cats[0].find(bdfs[0]) != std::string::npos ? bdfs[0] : bdfs[1];
    const std::string second = first == bdfs[0] ? bdfs[1] : bdfs[0];
    const std::string release = FakeSystem::KernelRelease();
    EXPECT_EQ(r.err, "[" + first + "] passthrough VM and the driver on the VM has been loaded, skip upgrade.\n" +
                         "[" + second +
                         "] Could not check whether the board is passed through to a virtual machine, skip "
                         "upgrade.\n"
                         "Failed to read the driver package record /var/log/dkms.log: it is not a regular file of "
                         "its own or cannot be read, nothing is reinstalled and it is left in place. \n"
                         "Failed to move /lib/modules/" +
                         release + "/kernel/drivers/misc/brenvoda.ko.bk back to brenvoda.ko. \n");
    EXPECT_EQ(r.out, START_LINE);
    for (const std::string& bdf : bdfs)
        EXPECT_EQ(fs.ReadMem(bdf, 0x800, 16), std::string(16, '\0')) << bdf;
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile("/var/log/dkms.log"), "nudra/1.2.3\n");
    EXPECT_EQ(FakeSystem::ReadFile(backup), "module");
}

// Boards of two PCI domains with the same bus, device and function: each line
// names its own board, so each board is upgraded once.
TEST(EngineUpgrade, TwoDomainsEachUpgradedOnce)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    ScpuResponder scpu;
    for (const char* bdf : {"0000:03:00.0", "0001:03:00.0"}) {
        fs.AddPci(jq_board(bdf, 4, 0, version_word(1, 0, 0)));
        scpu.Add({resource2(bdf)});
    }
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* bdf : {"0000:03:00.0", "0001:03:00.0"}) {
        EXPECT_EQ(count(r.out, success(bdf, "1.0.0", "2.0.3")), 1u) << r.out;
        EXPECT_EQ(scpu.Commands(resource2(bdf)).size(), 1u) << bdf;
    }
}

// Two-chip boards in a real run: a pair line serves both of its chips; of three
// chips under one switch, the one that two lines name is served twice, each
// time reported with the version it ran before the run.
TEST(EngineUpgrade, PairLinesServeBothChips)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    ScpuResponder scpu;
    struct Chip {
        const char* bdf;
        const char* sw;
        unsigned patch;  // of the version before the run
    };
    const Chip chips[] = {
        {"0000:03:00.0", "card1", 0}, {"0000:04:00.0", "card1", 1},
        {"0000:81:00.0", "card2", 2}, {"0000:82:00.0", "card2", 3}, {"0000:83:00.0", "card2", 4},
    };
    for (const Chip& c : chips) {
        fs.AddPci(jq_board(c.bdf, 3, 0, version_word(1, 0, c.patch), "0x0007", c.sw));  // ZK-R640-64
        scpu.Add({resource2(c.bdf)});
    }
    fs.WriteWorkFile("zk_firmware.hex", headered(3, 0, version_word(2, 0, 3), pattern(64)).text);
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    size_t served_card2 = 0;
    for (const Chip& c : chips) {
        size_t lines = count(r.out, success(c.bdf, "1.0." + std::to_string(c.patch), "2.0.3"));
        EXPECT_EQ(scpu.Commands(resource2(c.bdf)).size(), lines) << c.bdf;
        if (std::string(c.sw) == "card1") {
            EXPECT_EQ(lines, 1u) << c.bdf;
        } else {
            EXPECT_GE(lines, 1u) << c.bdf;
            served_card2 += lines;
        }
    }
    EXPECT_EQ(served_card2, 4u) << r.out;
    EXPECT_EQ(count(r.out, "Successfully upgrade firmware"), 6u) << r.out;
}

// The command word carries an image length of at most 262,143 bytes: a longer
// image that passes every firmware check is refused once, before any board is
// touched; an image of exactly 262,143 bytes goes to every board.
TEST(EngineUpgrade, ImageLongerThanTheCommandWordCarriesIsRefusedOnce)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::vector<std::string> jq = {"0000:03:00.0", "0000:04:00.0"};
    const std::vector<std::string> all = {"0000:01:00.0", "0000:03:00.0", "0000:04:00.0", "0000:05:00.0"};
    fs.AddPci(zk_board("0000:01:00.0", version_word(1, 0, 0)));
    for (const std::string& bdf : jq)
        fs.AddPci(jq_board(bdf, 4, 0, version_word(1, 0, 0)));
    fs.AddPci(wz_board("0000:05:00.0", version_word(1, 0, 0)));
    ScpuResponder scpu;
    for (const std::string& bdf : all)
        scpu.Add({resource2(bdf)});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    const uint32_t v = version_word(2, 0, 3);
    struct Case {
        const char* what;
        std::string name;
        Image fw;
    };
    const std::vector<Case> refused = {
        {"payload of 0x40000 bytes for two boards", "zk_firmware.hex", headered(4, 0, v, pattern(0x40000 - 2))},
        {"headered image sent whole", "zk640_400w_v2.0.3.hex", wz_image(v, pattern(0x40000 - 66))},
        {"headerless image of 0x40000 bytes", "zk610_150w_v1.1.0.hex", zk_image(pattern(0x40000 - 2))},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.fw.image.size(), 0x40000u);
        std::error_code ec;
        std::filesystem::remove_all("/var/log/qvFwTool", ec);
        for (const std::string& old : FakeSystem::ListDir(fs.WorkDir()))
            std::filesystem::remove(fs.WorkDir() + "/" + old, ec);
        fs.WriteWorkFile(c.name, c.fw.text);
        const std::string refusal =
            "Error: firmware image of 262144 bytes is longer than the 262143 bytes the upgrade command can carry.\n";
        auto r = fs.Run({"--silent"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, refusal);
        EXPECT_TRUE(ends_with(log_text(), "[    FATAL]  " + refusal + "Qvfw-tool is exit ...\n\n"));
        for (const std::string& bdf : all) {
            EXPECT_TRUE(scpu.Commands(resource2(bdf)).empty()) << bdf;
            EXPECT_EQ(fs.ReadMem(bdf, 0x800, 16), std::string(16, '\0')) << bdf;
        }
    }

    std::error_code ec;
    for (const std::string& old : FakeSystem::ListDir(fs.WorkDir()))
        std::filesystem::remove(fs.WorkDir() + "/" + old, ec);
    Image longest = headered(4, 0, v, pattern(0x40000 - 3));
    ASSERT_EQ(longest.image.size(), 262143u);
    fs.WriteWorkFile("zk_firmware.hex", longest.text);
    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find(START_LINE), 0u) << r.out;
    for (const std::string& bdf : jq) {
        EXPECT_EQ(count(r.out, success(bdf, "1.0.0", "2.0.3")), 1u) << r.out;
        std::vector<ScpuCommand> seen = scpu.Commands(resource2(bdf));
        ASSERT_EQ(seen.size(), 1u) << bdf;
        EXPECT_EQ(seen[0].command, command_word(262143, 0x0B));
        EXPECT_EQ(fs.ReadMem(bdf, 0x800, longest.image.size()), to_string(longest.image)) << bdf;
    }
}

// A headered file whose payload is the CRC of nothing alone ("00 00") passes
// every firmware check with an empty image: it is refused once, before any
// board, and nothing is put back. (The other layouts cannot hold an empty
// image that passes its CRC: a headerless image keeps at least the five words
// that tell its product, a WZ-R820 image holds its header, and a signed
// region of zeros gives no bytes at all, which fails the CRC check.)
TEST(EngineUpgrade, EmptyImageIsRefusedOnce)
{
    struct Case {
        const char* what;
        PciFunction board;
        Image fw;
    };
    const uint32_t v = version_word(2, 0, 3);
    PciFunction zk_r640_c = jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0));
    zk_r640_c.regs[JQ_CID_REG] = 0xfffffffe;
    const std::vector<Case> cases = {
        {"product of the model code", jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)),
         headered(4, 0, v, {})},
        {"product of the marker", zk_r640_c, headered(4, 0, v, {}, false, 0xfffffffe)},
        {"JQ-R33-16, with the driver taken out", jq_board("0000:03:00.0", 1, 0, version_word(1, 0, 0)),
         headered(1, 0, v, {})},
    };
    const std::string refusal = "Error: firmware image is empty, it holds nothing before its CRC.\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.fw.image, (std::vector<uint8_t>{0, 0}));
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        fs.AddPci(c.board);
        fs.WriteWorkFile("zk_firmware.hex", c.fw.text);
        FakeSystem::WriteFile("/var/log/dkms.log", "nudra/1.2.3\n");
        FakeSystem::MakeDirs("/usr/src/nudra-1.2.3");
        const std::string backup = FakeSystem::ModuleDir() + "/brenvoda.ko.bk";
        FakeSystem::WriteFile(backup, "module");
        ScpuResponder scpu;
        scpu.Add({resource2(c.board.bdf)});
        ASSERT_TRUE(scpu.Start()) << scpu.Error();

        auto r = fs.Run({"--silent"});
        scpu.Stop();
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, refusal);
        EXPECT_TRUE(ends_with(log_text(), "[    FATAL]  " + refusal + "Qvfw-tool is exit ...\n\n")) << log_text();
        EXPECT_TRUE(scpu.Commands(resource2(c.board.bdf)).empty());
        EXPECT_EQ(fs.ReadMem(c.board.bdf, 0x800, 16), std::string(16, '\0'));
        EXPECT_TRUE(fs.DkmsCalls().empty());
        EXPECT_EQ(FakeSystem::ReadFile("/var/log/dkms.log"), "nudra/1.2.3\n");
        EXPECT_EQ(FakeSystem::ReadFile(backup), "module");
    }
}

// The programs that a run starts through the shell inherit none of the
// board's windows, the log file or the firmware file.
TEST(EngineUpgrade, ShellCommandsInheritNoWindowLogOrFirmwareFile)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);
    const std::string seen = fs.ScratchDir() + "/descriptors";
    const std::string list = "ls -l /proc/self/fd/ >> '" + seen + "'";
    fs.SetStandIn("setpci", list);
    fs.SetStandIn("dkms", list);
    fs.SetStandIn("cat", list + "; exec /bin/cat \"$@\"");
    ScpuResponder scpu;
    scpu.Add({resource2("0000:03:00.0")});
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(fs.Calls("cat").empty());  // the board's check in the upgrade loop
    const std::string descriptors = FakeSystem::ReadFile(seen);
    ASSERT_NE(descriptors.find("/proc/"), std::string::npos) << descriptors;  // ls read its own descriptors
    EXPECT_EQ(descriptors.find("qvFwTool"), std::string::npos) << descriptors;
    EXPECT_EQ(descriptors.find("zk_firmware.hex"), std::string::npos) << descriptors;
    EXPECT_EQ(descriptors.find("/resource"), std::string::npos) << descriptors;
}

// The only board fails its transfer: it is not reset, and with no board
// upgraded no reboot advice is given.
static void expect_failed_transfer(const PciFunction& fn, const Image& fw, const std::string& file)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(fn);
    fs.WriteWorkFile(file, fw.text);
    ScpuResponder scpu;
    ScpuBoard board{resource2(fn.bdf)};
    board.fail_on_command = 0;  // the transfer's command
    scpu.Add(board);
    ASSERT_TRUE(scpu.Start()) << scpu.Error();

    auto r = fs.Run({"--silent"});
    scpu.Stop();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, START_LINE);
    EXPECT_NE(r.err.find("[" + fn.bdf + "] Failed to upgrade firmware\n"), std::string::npos) << r.err;
    std::vector<ScpuCommand> seen = scpu.Commands(resource2(fn.bdf));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].command, command_word(fw.image.size(), 0x0B));
}

TEST(EngineUpgrade, FailedTransferOfTheOnlyJqBoard)
{
    expect_failed_transfer(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)),
                           headered(4, 0, version_word(2, 0, 3), pattern(64)), "zk_firmware.hex");
}

TEST(EngineUpgrade, FailedTransferOfTheOnlyZkBoard)
{
    expect_failed_transfer(zk_board("0000:01:00.0", version_word(1, 0, 2)), zk_image(pattern(64)),
                           "zk610_150w_v1.1.0.hex");
}
