// The real binary over the fake system: the driver check and the taking out
// and putting back of the driver package and module file.
#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "engine_fixtures.h"
#include "fakesys.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

const char* const REFUSAL = "Please unload Brenvoda GPU driver firstly.\n";
const char* const CRC_FAILURE = "\nCRC check failed! \nPlease confirm your firmware file is correct.\n";
const char* const REBOOT_REQUEST = "IMPORTANT:\n    Please reboot system before upgrading firmware !!!\n\n";
const char* const STATE_FILE = "/var/log/dkms.log";

std::string module_file() { return FakeSystem::ModuleDir() + "/brenvoda.ko"; }
std::string backup_file() { return FakeSystem::ModuleDir() + "/brenvoda.ko.bk"; }

// A board of the given product code whose verification register passes or fails.
PciFunction checked_board(const std::string& bdf, uint32_t code, bool verified)
{
    PciFunction fn = jq_board(bdf, code, 0, version_word(1, 4, 0));
    fn.regs[BAUD_REG] = verified ? 0xFF05FFFF : 0x00500000;
    return fn;
}

// A JQ-R33-16 board (product code 1).
PciFunction r33_16(const std::string& bdf, bool verified) { return checked_board(bdf, 1, verified); }

// A board passed through to a virtual machine whose driver is loaded: the run
// skips it, so the board loop completes at once, without any mailbox command.
PciFunction skipped(PciFunction fn)
{
    fn.uevent = "DRIVER=vfio-pci\nPCI_SLOT_NAME=" + fn.bdf + "\n";
    fn.regs[JQ_RING_REG] = 1;
    return fn;
}

} // namespace

TEST(EngineDriver, LoadedDriverStopsTheRun)
{
    struct Case {
        const char* modules;
        bool loaded;
    };
    const Case cases[] = {
        {"brenvoda 16384 0 - Live 0x0000000000000000\n", true},
        {"snd 1 0 - Live 0x0\nzk_driver 20480 1 - Live 0x0\n", true},
        {"drm 600000 3 brenvoda,zk_driver, Live 0x0\n", false},  // only users of another module
        {"brenvoda_helper 100 0 - Live 0x0\nzk_driver2 1 0 - Live 0x0\n", false},
        {"snd 1 0 - Live 0x0\nzk_driver\t20480 1 - Live 0x0\n", true},  // a tab ends the name too
        {"brenvoda\n", false},  // the line feed is part of the first field
        {"", false},
    };
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64), true).text);
    for (const Case& c : cases) {
        std::error_code ec;
        std::filesystem::remove_all("/var/log/qvFwTool", ec);  // a fresh log per case
        fs.SetModules(c.modules);
        auto r = fs.Run({"--silent"});
        EXPECT_EQ(r.status, 255) << c.modules;
        // Without the driver the run goes on to the image check, which fails here.
        EXPECT_EQ(r.err, c.loaded ? REFUSAL : CRC_FAILURE) << c.modules;
        std::string log = log_text();
        EXPECT_TRUE(ends_with(log, "Qvfw-tool is exit ...\n\n")) << c.modules;
        // No board of products 8 and 11: none is examined.
        EXPECT_EQ(log.find("BDF["), std::string::npos) << c.modules;
    }
}

// A JQ-R33-16 or JQ-R610-32 board whose verification fails takes the driver
// out: the package version is recorded and removed, the module file moved
// aside, a reboot asked for. The first failing board ends the examination.
static void expect_taken_out(uint32_t code)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:02:00.0", 4, 0, version_word(1, 0, 0)));  // the firmware's target
    fs.AddPci(checked_board("0000:03:00.0", code, false));
    fs.AddPci(checked_board("0000:05:00.0", code, false));
    FakeSystem::MakeDirs("/var/lib/dkms/nudra/1.2.3");
    FakeSystem::WriteFile(module_file(), "module");
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);

    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, REBOOT_REQUEST);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fs.DkmsCalls(), std::vector<std::string>{"remove nudra/1.2.3 --all"});
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    EXPECT_FALSE(FakeSystem::Exists(module_file()));
    EXPECT_EQ(FakeSystem::ReadFile(backup_file()), "module");
    EXPECT_EQ(fs.ReadMem("0000:02:00.0", 0x800, 16), std::string(16, '\0'));

    std::string log = log_text();
    size_t examined = log.find("BDF[ 0000:0");
    ASSERT_NE(examined, std::string::npos) << log;
    EXPECT_EQ(log.compare(examined - 13, 13, "[     Info]  "), 0) << log;
    EXPECT_EQ(log.find("BDF[", examined + 1), std::string::npos) << log;
    EXPECT_NE(log.find("Success to remove file of brenvoda.ko (/lib/modules/" + FakeSystem::KernelRelease() +
                       "/kernel/drivers/misc/brenvoda.ko). \n\n"),
              std::string::npos);
    EXPECT_TRUE(ends_with(log, std::string("[    FATAL]  ") + REBOOT_REQUEST + "Qvfw-tool is exit ...\n\n"));
}

TEST(EngineDriver, FailedVerificationTakesTheDriverOut)
{
    expect_taken_out(1);
}

TEST(EngineDriver, FailedVerificationOfAJqR610_32TakesTheDriverOut)
{
    expect_taken_out(0);
}

// Taking out without a package version directory and without a module file:
// nothing is run or moved, the reboot is still asked for.
TEST(EngineDriver, TakingOutWithNothingInstalled)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(r33_16("0000:03:00.0", false));
    FakeSystem::WriteFile(STATE_FILE, "nudra/1.0.0\n");  // left by an earlier run
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(2, 0, 3), pattern(64)).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, REBOOT_REQUEST);
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.0.0\n");
    EXPECT_FALSE(FakeSystem::Exists(backup_file()));
    EXPECT_EQ(log_text().find("Success to remove file"), std::string::npos);
}

// A run whose board loop completes with a JQ-R33-16 board present puts the
// driver back: the package only when /usr/src holds "<6 characters><version>"
// as the first directory naming the version, the state file is deleted in any
// case, and the module file moves back.
TEST(EngineDriver, LaterRunPutsTheDriverBack)
{
    struct Case {
        const char* what;
        const char* state;                 // content of the state file
        std::vector<std::string> sources;  // directories under /usr/src
        std::vector<std::string> dkms;     // expected dkms calls
    };
    const std::vector<Case> cases = {
        {"package source present", "nudra/1.2.3\n", {"linux-6.1", "nudra-1.2.3"},
         {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"}},
        {"source named with a longer suffix", "nudra/1.2\n", {"nudra-1.2.3"}, {}},
        {"no source directory", "nudra/1.2.3\n", {}, {}},
        {"state file without a version", "removed\n", {"nudra-"}, {}},
        // Text that is no version never reaches a shell command.
        {"shell text in the state file", "nudra/1.2;x\n", {"nudra-1.2;x"}, {}},
    };
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(skipped(r33_16("0000:03:00.0", true)));
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(64)).text);
    for (const Case& c : cases) {
        std::error_code ec;
        for (const std::string& old : FakeSystem::ListDir("/usr/src"))
            std::filesystem::remove_all("/usr/src/" + old, ec);
        std::filesystem::remove(module_file(), ec);
        std::filesystem::remove_all("/var/log/qvFwTool", ec);  // a fresh log per case
        FakeSystem::WriteFile(STATE_FILE, c.state);
        FakeSystem::WriteFile(backup_file(), "module");
        for (const std::string& dir : c.sources)
            FakeSystem::MakeDirs("/usr/src/" + dir);
        size_t earlier_calls = fs.DkmsCalls().size();

        auto r = fs.Run({"--silent"});
        EXPECT_EQ(r.status, 255) << c.what;  // the only board was skipped
        std::vector<std::string> calls = fs.DkmsCalls();
        calls.erase(calls.begin(), calls.begin() + static_cast<long>(earlier_calls));
        EXPECT_EQ(calls, c.dkms) << c.what;
        EXPECT_FALSE(FakeSystem::Exists(STATE_FILE)) << c.what;
        EXPECT_EQ(FakeSystem::ReadFile(module_file()), "module") << c.what;
        EXPECT_FALSE(FakeSystem::Exists(backup_file())) << c.what;
        std::string log = log_text();
        EXPECT_NE(log.find("Start reinstall nudra from dkms tree. \n"), std::string::npos) << c.what;
        EXPECT_NE(log.find("Success to reinstall nudra from dkms tree. \n"), std::string::npos) << c.what;
        EXPECT_NE(log.find("Success to restore file of brenvoda.ko. \n"), std::string::npos) << c.what;
    }
}

// Runs that end before the board loop, or have no board of products 8 and 11,
// leave the state file and the backup module file alone.
static void expect_no_put_back(const PciFunction& board, bool broken_crc, uint32_t code)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(board);
    FakeSystem::WriteFile(STATE_FILE, "nudra/1.2.3\n");
    FakeSystem::WriteFile(backup_file(), "module");
    FakeSystem::MakeDirs("/usr/src/nudra-1.2.3");
    fs.WriteWorkFile("zk_firmware.hex", headered(code, 0, version_word(1, 4, 1), pattern(64), broken_crc).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    EXPECT_TRUE(FakeSystem::Exists(backup_file()));
    EXPECT_FALSE(FakeSystem::Exists(module_file()));
    EXPECT_EQ(fs.ReadMem(board.bdf, 0x800, 16), std::string(16, '\0'));
}

TEST(EngineDriver, NoPutBackAfterACrcMismatch)
{
    expect_no_put_back(r33_16("0000:03:00.0", true), true, 1);
}

TEST(EngineDriver, NoPutBackWithoutABoardOfProducts8And11)
{
    expect_no_put_back(skipped(jq_board("0000:03:00.0", 4, 0, 0)), false, 4);
}

// An image that the firmware object refuses to hand out (a payload longer
// than any board takes) ends the run like a CRC mismatch: no board touched,
// nothing put back.
TEST(EngineDriver, RefusedImageTouchesNoBoardAndPutsNothingBack)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(r33_16("0000:03:00.0", true));
    FakeSystem::WriteFile(STATE_FILE, "nudra/1.2.3\n");
    FakeSystem::WriteFile(backup_file(), "module");
    FakeSystem::MakeDirs("/usr/src/nudra-1.2.3");
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(0x40000)).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("CRC check failed"), std::string::npos) << r.err;
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    EXPECT_TRUE(FakeSystem::Exists(backup_file()));
    EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 16), std::string(16, '\0'));
    EXPECT_EQ(log_text().find("Before upgrading is successful"), std::string::npos);
    EXPECT_TRUE(ends_with(log_text(), "Qvfw-tool is exit ...\n\n"));
}
