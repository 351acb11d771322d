// Opening a chip's PCI function through sysfs, and its pass-through state, in
// the fake system.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

#include "board_map.h"
#include "device.h"
#include "fakesys.h"
#include "logger.h"

using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

const char* const BDF = "0000:03:00.0";

// A distinct address for each case of a table: the fake sysfs keeps what an
// earlier case added.
std::string bdf_of(size_t index)
{
    char text[16];
    snprintf(text, sizeof(text), "0000:%02zx:00.0", index + 0x10);
    return text;
}

// The fake system with its stand-in programs first on PATH and the log open.
class Detect : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs.ok());
        std::string path = fs.StandInDir() + ":" + getenv("PATH");
        setenv("PATH", path.c_str(), 1);
        log_path = fs.ScratchDir() + "/qvfw-tool.log";
        qvlogger::init(log_path.c_str());
    }
    void TearDown() override
    {
        if (qvlogger::fp_ != nullptr) {
            fclose(qvlogger::fp_);
            qvlogger::fp_ = nullptr;
        }
    }
    PciFunction function(const std::string& device = "0x0002", const std::string& bdf = BDF)
    {
        PciFunction fn;
        fn.bdf = bdf;
        fn.device = device;
        return fn;
    }
    std::string log() const { return FakeSystem::ReadFile(log_path); }

    FakeSystem fs;
    std::string log_path;
};

bool is_open(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

} // namespace

TEST_F(Detect, SwitchesTheFunctionOnAndParsesTheDeviceId)
{
    struct Case {
        const char* text;
        int id;
        uint32_t reg_base;
    } cases[] = {
        {"0x0001", 1, 0x9000},  {"0x0210", 0x210, 0x9000}, {"0x0004", 4, 0},
        {"0x000f", 0xF, 0x9000}, {"0x0002\n", 2, 0x9000},  {"0x0000", 0, 0},
        {"0x00021", 2, 0x9000},  // only the first 6 bytes are read
    };
    for (const Case& c : cases) {
        fs.AddPci(function(c.text));
        QVDevice dev(BDF);
        EXPECT_EQ(dev.DetectGPU(), c.id) << c.text;  // the device file is rewritten for each case
        EXPECT_EQ(dev.pci_device_id, c.id);
        EXPECT_EQ(dev.GetProduct(), c.id);
        EXPECT_EQ(dev.reg_base, c.reg_base) << c.text;
        EXPECT_EQ(dev.mem_base, 0u);
        EXPECT_EQ(dev.res2_path, "/sys/bus/pci/devices/0000:03:00.0/resource2");
        EXPECT_EQ(dev.res0_path, "/sys/bus/pci/devices/0000:03:00.0/resource0");
        EXPECT_TRUE(is_open(dev.reg_fd));
        EXPECT_TRUE(is_open(dev.mem_fd));
    }
    const std::vector<std::string> one_detection = {"-s 0000:03:00.0 COMMAND=0x06", "-s 0000:03:00.0 CAP_PM+4.w=8"};
    std::vector<std::string> calls = fs.SetpciCalls();
    ASSERT_EQ(calls.size(), 2 * (sizeof(cases) / sizeof(cases[0])));
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 2), one_detection);
    EXPECT_EQ(log(), "");
}

TEST_F(Detect, DescriptorsReachTheRegisterAndMemoryWindowsAndCloseWithTheObject)
{
    PciFunction fn = function("0x0007");
    fn.regs = {{board_map::FW_VERSION_REG_JQ, 0x01020304}};
    fs.AddPci(fn);
    int reg_fd = -1, mem_fd = -1;
    {
        QVDevice dev(BDF);
        ASSERT_EQ(dev.DetectGPU(), 7);
        // Shell commands run later must not inherit the writable windows.
        EXPECT_EQ(fcntl(dev.reg_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        EXPECT_EQ(fcntl(dev.mem_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        EXPECT_EQ(dev.GetFirmwareVersion(), "1.515.4");
        const unsigned char image[3] = {0xAB, 0xCD, 0xEF};
        EXPECT_TRUE(dev.PutData(image, 3));
        reg_fd = dev.reg_fd;
        mem_fd = dev.mem_fd;
    }
    EXPECT_EQ(fs.ReadMem(BDF, 0x7FF, 5), std::string("\0\xAB\xCD\xEF\0", 5));
    EXPECT_FALSE(is_open(reg_fd));
    EXPECT_FALSE(is_open(mem_fd));
}

TEST_F(Detect, MissingOrUnopenableFilesMakeTheFunctionUnusable)
{
    struct Case {
        const char* name;
        bool with_resource0, with_resource2, with_device;
        const char* directory_instead;  // a resource file that exists but does not open
        std::string message;
        bool reg_open, mem_open;
    } cases[] = {
        {"no resource0", false, true, true, nullptr,
         "[    FATAL]  Error: Device 0000:03:00.0 not enough address space. \n", false, false},
        {"no resource2", true, false, true, nullptr,
         "[    FATAL]  Error: Device 0000:03:00.0 not enough address space. \n", false, false},
        {"resource2 will not open", true, false, true, "resource2",
         "[    FATAL]  Error: Failed to open /sys/bus/pci/devices/0000:03:00.0/resource2\n", false, false},
        {"resource0 will not open", false, true, true, "resource0",
         "[    FATAL]  Error: Failed to open /sys/bus/pci/devices/0000:03:00.0/resource0\n", true, false},
        {"no device file", true, true, false, nullptr, "", true, true},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        const std::string bdf = bdf_of(i);
        FakeSystem::WriteFile(log_path, "");
        PciFunction fn = function("0x0001", bdf);
        fn.with_resource0 = c.with_resource0;
        fn.with_resource2 = c.with_resource2;
        fn.with_device = c.with_device;
        fs.AddPci(fn);
        if (c.directory_instead != nullptr)
            mkdir((FakeSystem::PciPath(bdf) + "/" + c.directory_instead).c_str(), 0755);

        QVDevice dev(bdf);
        EXPECT_EQ(dev.DetectGPU(), 0) << c.name;
        std::string message = c.message;
        size_t at = message.find(BDF);
        if (at != std::string::npos)
            message.replace(at, strlen(BDF), bdf);
        EXPECT_EQ(log(), message) << c.name;
        EXPECT_EQ(is_open(dev.reg_fd), c.reg_open) << c.name;
        EXPECT_EQ(is_open(dev.mem_fd), c.mem_open) << c.name;
        EXPECT_EQ(dev.reg_base, 0u) << c.name;
        EXPECT_EQ(fs.SetpciCalls().size(), 2 * (i + 1)) << "both commands run before the files are looked at";
    }
}

TEST_F(Detect, PassThroughIsAVfioDriverInTheUevent)
{
    struct Case {
        std::string uevent;
        bool with_uevent;
        bool passed_through;
    } cases[] = {
        {"DRIVER=vfio-pci\nPCI_SLOT_NAME=0000:03:00.0\n", true, true},
        {"DRIVER=brenvoda\nPCI_SLOT_NAME=0000:03:00.0\n", true, false},
        {"", false, false},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        PciFunction fn = function("0x0002", bdf_of(i));
        fn.uevent = c.uevent;
        fn.with_uevent = c.with_uevent;
        fs.AddPci(fn);
        QVDevice dev(fn.bdf);
        EXPECT_EQ(dev.PT_for_VM(), c.passed_through) << c.uevent;
    }
}
