// Checks of the fake system itself: what the tool and its helpers will see.
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "fakesys.h"
#include "tmux_session.h"

using fakesys::FakeSystem;
using fakesys::PciFunction;
using fakesys::RunOptions;

namespace {

std::string RealPath(const std::string& path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : "";
}

} // namespace

TEST(FakeSystem, PciFunctionFilesLinkAndRegisters)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    PciFunction fn;
    fn.bdf = "0000:03:00.0";
    fn.device = "0x0210";
    fn.node = "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/0000:02:00.0/0000:03:00.0";
    fn.regs = {{0x9000, 0x01020304u}, {0x25000 - 4, 0xdeadbeefu}};
    fs.AddPci(fn);
    PciFunction bare;
    bare.bdf = "0000:04:00.0";
    bare.with_resource0 = false;
    bare.with_device = false;
    fs.AddPci(bare);

    EXPECT_EQ(FakeSystem::ListDir("/sys/bus/pci/devices").size(), 2u);
    EXPECT_EQ(RealPath(FakeSystem::PciPath(fn.bdf)), fn.node);
    EXPECT_EQ(FakeSystem::ReadFile(FakeSystem::PciPath(fn.bdf) + "/vendor"), "0x7e51\n");
    EXPECT_EQ(FakeSystem::ReadFile(FakeSystem::PciPath(fn.bdf) + "/device"), "0x0210\n");
    EXPECT_EQ(FakeSystem::ReadFile(FakeSystem::PciPath(fn.bdf) + "/uevent"), "PCI_SLOT_NAME=0000:03:00.0\n");
    EXPECT_EQ(std::filesystem::file_size(FakeSystem::PciPath(fn.bdf) + "/resource0"), 0x400000u);
    EXPECT_EQ(std::filesystem::file_size(FakeSystem::PciPath(fn.bdf) + "/resource2"), 0x40000u);
    // The configuration space starts with the vendor and device IDs, little-endian.
    std::string config = FakeSystem::ReadFile(FakeSystem::PciPath(fn.bdf) + "/config");
    EXPECT_EQ(config.size(), fakesys::kConfigSize);
    EXPECT_EQ(config.substr(0, 4), std::string("\x51\x7e\x10\x02", 4));
    // Little-endian bytes in the file, read back as words.
    EXPECT_EQ(fs.ReadMem(fn.bdf, 0, 0), "");
    std::string raw = FakeSystem::ReadFile(FakeSystem::PciPath(fn.bdf) + "/resource2").substr(0x9000, 4);
    EXPECT_EQ(raw, std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(fs.ReadReg(fn.bdf, 0x9000), 0x01020304u);
    EXPECT_EQ(fs.ReadReg(fn.bdf, 0x25000 - 4), 0xdeadbeefu);
    fs.WriteMem(fn.bdf, 0x800, "abc");
    EXPECT_EQ(fs.ReadMem(fn.bdf, 0x7ff, 5), std::string("\0abc\0", 5));

    // Switch paths: the real path without its last four components.
    auto switch_of = [](const std::string& bdf) {
        return std::filesystem::path(RealPath(FakeSystem::PciPath(bdf))).parent_path().parent_path().parent_path().parent_path().string();
    };
    EXPECT_EQ(switch_of(fn.bdf), "/sys/devices/pci0000:00");
    EXPECT_EQ(switch_of(bare.bdf), "/sys/devices/pci0000:04/0000:04:00.0-switch");
    PciFunction sibling;
    sibling.bdf = "0000:04:00.1";
    fs.AddPci(sibling);
    EXPECT_NE(switch_of(sibling.bdf), switch_of(bare.bdf));

    EXPECT_TRUE(FakeSystem::Exists(FakeSystem::PciPath(bare.bdf) + "/resource2"));
    EXPECT_FALSE(FakeSystem::Exists(FakeSystem::PciPath(bare.bdf) + "/resource0"));
    EXPECT_FALSE(FakeSystem::Exists(FakeSystem::PciPath(bare.bdf) + "/device"));
}

TEST(FakeSystem, ChildSeesFakePathsStandInsAndProc)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.SetModules("brenvoda 16384 0 - Live 0x0000000000000000\n");
    fs.WriteWorkFile("fw.hex", "00\n");
    fs.SetStandIn("dkms", "exit 3");
    auto r = fs.RunProgram({"sh", "-c",
                            "cat /proc/modules; ls; readlink /proc/self/exe; test -r /proc/self/maps && echo maps;"
                            " setpci -s 0000:01:00.0 COMMAND=0x06; dkms remove nudra/1.0 --all; echo dkms=$?;"
                            " test -d /proc/$$/task && echo own-entry;"
                            " sh -c '" + fs.ProcEntryWrapper() + " sh -c \"test -d /proc/\\$\\$/task && echo wrapped\"';"
                            " find /var/log /usr/src /var/lib/dkms /run -mindepth 1 | wc -l; ls -d " + FakeSystem::ModuleDir()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "brenvoda 16384 0 - Live 0x0000000000000000\nfw.hex\n/usr/bin/readlink\nmaps\ndkms=3\nown-entry\nwrapped\n0\n" +
                         FakeSystem::ModuleDir() + "\n");
    EXPECT_EQ(fs.SetpciCalls(), std::vector<std::string>{"-s 0000:01:00.0 COMMAND=0x06"});
    EXPECT_EQ(fs.DkmsCalls(), std::vector<std::string>{"remove nudra/1.0 --all"});
}

TEST(FakeSystem, RunReportsStatusSignalUserStdinAndTimeout)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    auto r = fs.RunProgram({"sh", "-c", "read x; echo \"got $x\"; echo err >&2; exit 255"},
                           RunOptions{"hello\n", false, 10, {}, ""});
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.out, "got hello\n");
    EXPECT_EQ(r.err, "err\n");

    RunOptions nobody;
    nobody.as_nobody = true;
    r = fs.RunProgram({"id", "-u"}, nobody);
    EXPECT_EQ(r.out, "65534\n");

    r = fs.RunProgram({"sh", "-c", "kill -SEGV $$"});
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.signal, SIGSEGV);
    EXPECT_EQ(r.status, 128 + SIGSEGV);

    RunOptions quick;
    quick.timeout_sec = 1;
    testing::TestPartResultArray failures;
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        r = fs.RunProgram({"sleep", "30"}, quick);
    }
    EXPECT_TRUE(r.timed_out);
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(failures.size(), 1);
}

TEST(FakeSystem, TmuxSessionTypesKeysReadsTheScreenAndTheStatus)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.SetModules("zk_driver 1 0 - Live 0x0\n");
    fakesys::TmuxSession tmux(fs, {"sh", "-c", "cat /proc/modules; printf 'name? '; read x; echo \"hi $x\"; exit 7"},
                              60, 10);
    ASSERT_TRUE(tmux.ok());
    ASSERT_TRUE(tmux.WaitForText("name?"));
    tmux.SendBytes("bob");
    tmux.SendKeys({"Enter"});
    EXPECT_EQ(tmux.WaitExit(), 7);
    std::string screen = tmux.Screen();
    EXPECT_NE(screen.find("zk_driver 1 0 - Live 0x0\nname? bob\nhi bob\n"), std::string::npos) << screen;

    fakesys::TmuxSession version(fs, FakeSystem::ToolArgv({"--version"}));
    ASSERT_TRUE(version.ok());
    EXPECT_EQ(version.WaitExit(), 0);
    EXPECT_NE(version.Screen().find("Brenvoda Nudra GPU Firmware Tool version: 2.0.1"), std::string::npos);
}
