// Failed image buffer allocations. This program is linked with malloc wrapped,
// so that a test can make allocations of one chosen size fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "fakesys.h"
#include "firmware.h"
#include "fwgen.h"
#include "logger.h"
#include "upgrader.h"

namespace {
size_t failing_size = 0;  // 0: every allocation succeeds
}

extern "C" void* __real_malloc(size_t size);
extern "C" void* __wrap_malloc(size_t size)
{
    if (failing_size != 0 && size == failing_size)
        return nullptr;
    return __real_malloc(size);
}

namespace {

class FirmwareAlloc : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qvfw-alloc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        qvlogger::init((dir + "/log").c_str());
    }
    void TearDown() override
    {
        failing_size = 0;
        fclose(qvlogger::fp_);
        qvlogger::fp_ = nullptr;
        std::filesystem::remove_all(dir);
    }
    std::string log()
    {
        std::ifstream in(dir + "/log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir;
};

} // namespace

TEST_F(FirmwareAlloc, HeaderedImageBuffer)
{
    fwgen::Header h;
    h.model_code = 1;
    std::string path = dir + "/jq.hex";
    ASSERT_TRUE(fwgen::write(path, fwgen::headered(h, fwgen::random_bytes(100, 1))));
    Firmware fw(path);
    ASSERT_TRUE(fw.Init());
    ASSERT_EQ(fw.MatchProduct(), JQ_R33_16);
    failing_size = FW_IMAGE_MAX;
    unsigned char* out = reinterpret_cast<unsigned char*>(&fw);
    EXPECT_EQ(fw.ReadData(out), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log(), "[    FATAL]  Failed to allocate the firmware image buffer: " + path + "\n");
}

TEST_F(FirmwareAlloc, HeaderlessBuffers)
{
    std::string path = dir + "/zk.hex";
    ASSERT_TRUE(fwgen::write(path, fwgen::headerless(fwgen::zk_body(5000, 1))));
    const std::string message = "[    FATAL]  Failed to allocate the firmware image buffer: " + path + "\n";
    const std::string no_image = "[    FATAL]  No firmware image has been read: " + path + "\n";

    // size: the allocation that fails; then what the image readers give.
    struct Case {
        size_t size;
        bool read;
        int handed_out;
        std::string log;
    };
    const Case cases[] = {
        {FW_IMAGE_MAX, false, -1, message + no_image},  // SignaInit's working buffer
        {5002, false, -1, message + no_image},          // the image's own copy
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(ftruncate(fileno(qvlogger::fp_), 0), 0);
        Firmware fw(path);
        ASSERT_TRUE(fw.Init());
        ASSERT_EQ(fw.MatchProduct(), ZK_R610);
        failing_size = c.size;
        EXPECT_EQ(fw.SignaInit(), c.read);
        EXPECT_FALSE(fw.IsSigned());
        failing_size = 0;
        unsigned char* out = reinterpret_cast<unsigned char*>(&fw);
        EXPECT_EQ(fw.ReadFW_Data(out), c.handed_out);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(log(), c.log);
    }

    // The copy handed out by ReadFW_Data.
    ASSERT_EQ(ftruncate(fileno(qvlogger::fp_), 0), 0);
    Firmware fw(path);
    ASSERT_TRUE(fw.Init());
    ASSERT_EQ(fw.MatchProduct(), ZK_R610);
    ASSERT_TRUE(fw.SignaInit());
    failing_size = FW_IMAGE_MAX;
    unsigned char* out = reinterpret_cast<unsigned char*>(&fw);
    EXPECT_EQ(fw.ReadFW_Data(out), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log(), message);
}

// The engine gives a ZK-R610 image up when it cannot be read into memory, before
// any board is chosen or touched.
TEST_F(FirmwareAlloc, BindingRefusesAnImageThatCannotBeRead)
{
    std::string path = dir + "/zk.hex";
    ASSERT_TRUE(fwgen::write(path, fwgen::headerless(fwgen::zk_body(5000, 1))));
    // The board's chip, for the two-chip test of its menu line: a ZK chip
    // whose board register names no two-chip product.
    fakesys::FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fakesys::PciFunction chip;
    chip.bdf = "0000:7f:00.0";
    chip.device = "0x0001";
    fs.AddPci(chip);
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing);
        Upgrader upgrader(false);
        Board board;
        board.bdf = "0000:7f:00.0";
        board.product = ZK_R610;
        upgrader.boards.push_back(&board);
        failing_size = failing ? FW_IMAGE_MAX : 0;
        EXPECT_EQ(upgrader.SetFirmware(path), !failing);
        failing_size = 0;
        EXPECT_EQ(upgrader.items.size(), failing ? 0u : 1u);
        EXPECT_EQ(log().find("Failed to allocate the firmware image buffer") != std::string::npos, failing);
        upgrader.boards.clear();
        delete upgrader.firmware;  // the program keeps its one firmware object to the end; a test frees it
    }
}
