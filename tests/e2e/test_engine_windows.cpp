// The real binary over the fake system with boards whose register or memory
// window cannot serve the tool, beside healthy boards.
#include <gtest/gtest.h>

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
