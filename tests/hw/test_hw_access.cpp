// The program's hardware window unit over regular files, which map like the
// PCI resource files; and QVDevice's register and memory calls through it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "device.h"
#include "hw_access.h"
#include "logger.h"

namespace {

// A scratch directory with a window file of the given size and, unless told
// otherwise, the log open on a file beside it.
class WindowFile {
public:
    explicit WindowFile(off_t size, bool with_log = true)
    {
        char pattern[] = "/tmp/qvhw.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            abort();
        dir = pattern;
        path = dir + "/resource";
        fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || ftruncate(fd, size) != 0)
            abort();
        if (with_log)
            qvlogger::init((dir + "/qvfw-tool.log").c_str());
    }
    ~WindowFile()
    {
        if (qvlogger::fp_ != nullptr) {
            fclose(qvlogger::fp_);
            qvlogger::fp_ = nullptr;
        }
        close(fd);
        std::filesystem::remove_all(dir);
    }
    std::vector<unsigned char> bytes(off_t start, size_t length) const
    {
        std::vector<unsigned char> out(length);
        if (pread(fd, out.data(), length, start) != static_cast<ssize_t>(length))
            abort();
        return out;
    }
    void put(off_t start, const std::vector<unsigned char>& data) const
    {
        if (pwrite(fd, data.data(), data.size(), start) != static_cast<ssize_t>(data.size()))
            abort();
    }
    std::string log() const
    {
        std::ifstream in(dir + "/qvfw-tool.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir;
    std::string path;
    int fd = -1;
};

} // namespace

TEST(HwAccess, RegisterWordsAreLittleEndianAtTheirByteOffset)
{
    WindowFile window(0x1000);
    window.put(0x10, {0x04, 0x03, 0x02, 0x01});
    uint32_t value = 0;
    ASSERT_TRUE(hw_reg_read32(window.fd, 0x10, value));
    EXPECT_EQ(value, 0x01020304u);

    ASSERT_TRUE(hw_reg_write32(window.fd, 0xFFC, 0xA1B2C3D4));
    EXPECT_EQ(window.bytes(0xFF8, 8), (std::vector<unsigned char>{0, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));
}

TEST(HwAccess, RegisterAccessPastTheWindowIsRefusedWithoutTouchingIt)
{
    WindowFile window(0x1000);
    window.put(0xFFC, {1, 2, 3, 4});
    uint32_t value = 0xDEADBEEF;
    for (int offset : {0xFFD, 0x1000, 0x7FFFFFFC, -1}) {
        EXPECT_FALSE(hw_reg_read32(window.fd, offset, value)) << offset;
        EXPECT_FALSE(hw_reg_write32(window.fd, offset, 0)) << offset;
    }
    EXPECT_EQ(value, 0xDEADBEEFu);
    EXPECT_EQ(window.bytes(0xFFC, 4), (std::vector<unsigned char>{1, 2, 3, 4}));
    uint64_t size = std::filesystem::file_size(window.path);
    EXPECT_EQ(size, 0x1000u) << "a refused write must not grow the file";

    // A closed descriptor or an empty window cannot be mapped at all.
    EXPECT_FALSE(hw_reg_read32(-1, 0, value));
    WindowFile empty(0, false);
    EXPECT_FALSE(hw_reg_write32(empty.fd, 0, 1));
}

TEST(HwAccess, MemoryCopiesStayInsideTheirMapping)
{
    WindowFile window(0x1000);
    const std::vector<unsigned char> image = {9, 8, 7, 6, 5};
    ASSERT_TRUE(hw_mem_write(window.fd, 0x805, 0x800, image.data(), 5));
    EXPECT_EQ(window.bytes(0x7FF, 7), (std::vector<unsigned char>{0, 9, 8, 7, 6, 5, 0}));

    std::vector<unsigned char> back(5);
    ASSERT_TRUE(hw_mem_read(window.fd, 0x1000, 0x800, back.data(), 5));
    EXPECT_EQ(back, image);

    // A mapping larger than the window, or a copy past the mapping, is refused.
    EXPECT_FALSE(hw_mem_write(window.fd, 0x1001, 0x800, image.data(), 5));
    EXPECT_FALSE(hw_mem_write(window.fd, 0x804, 0x800, image.data(), 5));
    EXPECT_FALSE(hw_mem_read(window.fd, 0x200800, 0x800, back.data(), 5));
    EXPECT_EQ(std::filesystem::file_size(window.path), 0x1000u);
}

TEST(HwAccess, MemoryWindowsOfFourGibibytesAndMoreKeepTheirWholeSize)
{
    WindowFile window(0x100000000LL + 0x100, false);  // sparse; its low 32 bits alone are too small
    const unsigned char image[2] = {0x5A, 0xA5};
    ASSERT_TRUE(hw_mem_write(window.fd, 0x802, 0x800, image, 2));
    EXPECT_EQ(window.bytes(0x800, 2), (std::vector<unsigned char>{0x5A, 0xA5}));
}

TEST(HwAccess, DeviceRegisterAndMemoryCallsReportFailedMappings)
{
    WindowFile regs(0x10000, false);
    WindowFile mem(0x900);
    QVDevice dev("0000:01:00.0");
    dev.reg_fd = dup(regs.fd);
    dev.mem_fd = dup(mem.fd);

    dev.WriteReg(0x78A8, 0x01020304);
    EXPECT_EQ(dev.ReadReg(0x78A8), 0x01020304u);
    EXPECT_EQ(regs.bytes(0x78A8, 4), (std::vector<unsigned char>{4, 3, 2, 1}));

    const unsigned char image[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    dev.WriteMemory(0x800, 4, image);
    EXPECT_EQ(mem.bytes(0x800, 4), (std::vector<unsigned char>(image, image + 4)));
    EXPECT_EQ(mem.log(), "");

    // Past the ends: a read of 0, a lost write, a copy that does not happen.
    EXPECT_EQ(dev.ReadReg(0x10000), 0u);
    dev.WriteReg(0x10000, 5);
    const std::vector<unsigned char> big(0x101, 0xEE);
    dev.WriteMemory(0x800, 0x101, big.data());
    unsigned char back[4] = {0, 0, 0, 0};
    EXPECT_TRUE(dev.GetData(back, 4)) << "the read-back maps more than this window holds";
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(mem.bytes(0x800, 4), (std::vector<unsigned char>(image, image + 4)));
    EXPECT_EQ(std::filesystem::file_size(regs.path), 0x10000u);
    EXPECT_EQ(std::filesystem::file_size(mem.path), 0x900u);
    EXPECT_EQ(mem.log(), "[    FATAL]  Map device register failed when ReadReg!\n"
                         "[    FATAL]  Map device register failed!\n"
                         "[    FATAL]  Map device memory failed!\n"
                         "[    FATAL]  Map device memory failed!\n");
}

TEST(HwAccess, SleepWaitsAtLeastTheGivenTime)
{
    auto before = std::chrono::steady_clock::now();
    hw_sleep_us(2000);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::microseconds(2000));
}
