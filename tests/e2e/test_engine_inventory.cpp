// The real binary over the fake system: "--list", and the choice and checks of
// the firmware file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <system_error>
#include <set>
#include <sstream>

#include <sys/stat.h>

#include "engine_fixtures.h"
#include "fakesys.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(EngineList, BoardTableOfEveryGroup)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(zk_board("0000:01:00.0", version_word(1, 0, 2)));
    fs.AddPci(zk_board("0000:02:00.0", version_word(1, 1, 0), true));
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(2, 0, 3)));
    PciFunction customer = jq_board("0000:04:00.0", 4, 0, version_word(1, 515, 4));
    customer.regs[JQ_CID_REG] = 0xfffffffe;
    fs.AddPci(customer);
    fs.AddPci(jq_board("0000:05:00.0", 16, 1, version_word(2, 0, 0)));
    fs.AddPci(jq_board("0000:06:00.0", 16, 2, version_word(2, 0, 1)));
    fs.AddPci(jq_board("0000:07:00.0", 6, 0, version_word(0, 0, 0)));
    fs.AddPci(wz_board("0000:08:00.0", version_word(255, 65535, 255)));
    fs.AddPci(chip("0000:09:00.0", "0x0004"));
    PciFunction other_vendor = jq_board("0000:0a:00.0", 4, 0, 0);
    other_vendor.vendor = "0x8086";
    fs.AddPci(other_vendor);

    auto r = fs.Run({"--list"});
    EXPECT_EQ(r.status, 0) << r.err;

    // Rows follow the engine's board order; each row is one of these, numbered from 0.
    const std::set<std::string> expected = {
        "0000:01:00.0  ZK-R610     1.0.2",
        "0000:02:00.0  ZK-R610-CD  1.1.0",
        "0000:03:00.0  JQ-R21A-8   2.0.3",
        "0000:04:00.0  ZK-R640-C   1.515.4",
        "0000:05:00.0  ZK-R640-OAM_PA 2.0.0",
        "0000:06:00.0  ZK-R640-C   2.0.1",
        "0000:07:00.0  UNKNOWN     0.0.0",
        "0000:08:00.0  WZ-R820     255.65535.255",
    };
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), expected.size() + 1) << r.out;
    EXPECT_EQ(lines[0], "NUM  DEVICE        PRODUCT     VERSION");
    std::set<std::string> seen;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string num = std::to_string(i - 1);
        num.resize(5, ' ');
        EXPECT_EQ(lines[i].substr(0, 5), num) << lines[i];
        seen.insert(lines[i].substr(5));
    }
    EXPECT_EQ(seen, expected);

    std::string log = log_text();
    EXPECT_NE(log.find("[     Info]  Function: list_boards()(22): \n"), std::string::npos);
    EXPECT_NE(log.find("[   record]  NUM  DEVICE        PRODUCT     VERSION\n"), std::string::npos);
    EXPECT_EQ(log.find("Qvfw-tool is exit"), std::string::npos);
}

// Debian's setpci switches each chip on in its configuration space: memory
// space and bus master in the command register, and power state D0 in the
// control word of the power-management capability that it finds through the
// capability list. No other byte changes.
TEST(EngineList, SystemSetpciSwitchesEveryChipGroupOn)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    ASSERT_TRUE(FakeSystem::Exists("/usr/bin/setpci")) << "pciutils is not installed";
    fs.DropStandIn("setpci");
    std::vector<PciFunction> chips = {
        zk_board("0000:01:00.0", version_word(1, 0, 2)),
        jq_board("0000:02:00.0", 4, 0, version_word(2, 0, 3)),
        wz_board("0000:03:00.0", version_word(1, 2, 3)),
    };
    // The capability lies at another place on each chip: only a write that
    // follows the capability list reaches all three.
    chips[0].pm_cap = 0x50;
    chips[2].pm_cap = 0xc8;
    auto config_of = [](const std::string& bdf) { return FakeSystem::ReadFile(FakeSystem::PciPath(bdf) + "/config"); };
    auto word = [](const std::string& bytes, uint32_t offset) {
        return bytes.size() < offset + 2 ? -1
                                         : static_cast<unsigned char>(bytes[offset]) |
                                               static_cast<unsigned char>(bytes[offset + 1]) << 8;
    };
    std::map<std::string, std::string> before;
    for (const PciFunction& fn : chips) {
        fs.AddPci(fn);
        before[fn.bdf] = config_of(fn.bdf);
        ASSERT_EQ(before[fn.bdf].size(), fakesys::kConfigSize);
        ASSERT_EQ(word(before[fn.bdf], fakesys::kConfigCommand), 0x0000);
        ASSERT_EQ(word(before[fn.bdf], fn.pm_cap + fakesys::kPmControl), 0x0003);
    }

    auto r = fs.Run({"--list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    for (const PciFunction& fn : chips) {
        std::string after = config_of(fn.bdf);
        EXPECT_EQ(word(after, fakesys::kConfigCommand), 0x0006) << fn.device;
        EXPECT_EQ(word(after, fn.pm_cap + fakesys::kPmControl), 0x0008) << fn.device;
        std::string expected = before[fn.bdf];
        expected[fakesys::kConfigCommand] = 0x06;
        expected[fn.pm_cap + fakesys::kPmControl] = 0x08;
        EXPECT_TRUE(after == expected) << "other configuration bytes changed: " << fn.device;
    }
}

TEST(EngineList, NoBoard)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(chip("0000:09:00.0", "0x0004"));
    for (const char* flag : {"--list", "--silent"}) {
        auto r = fs.Run({flag});
        EXPECT_EQ(r.status, 255) << flag;
        EXPECT_EQ(r.err, "No Brenvoda Nudra GPU found.\n") << flag;
        EXPECT_EQ(r.out, "") << flag;
    }
    EXPECT_TRUE(ends_with(log_text(), "[    FATAL]  No Brenvoda Nudra GPU found.\n"));
}

// Only entries named as the kernel names PCI functions (DDDD:BB:DD.F) are
// boards: a name that would add a command to the shell is passed over, and so
// is any other odd name.
TEST(EngineList, OddlyNamedEntriesArePassedOver)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(2, 0, 3)));
    for (const char* name : {"0000:05:00.0;touch injected", "0000:5:00.0", "0000:05:00.00", "000g:05:00.0",
                             "0000-05:00.0"})
        fs.AddPci(jq_board(name, 4, 0, version_word(2, 0, 3)));

    auto r = fs.Run({"--list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "NUM  DEVICE        PRODUCT     VERSION\n0    0000:03:00.0  JQ-R21A-8   2.0.3\n");
    EXPECT_FALSE(FakeSystem::Exists(fs.WorkDir() + "/injected"));
    ASSERT_FALSE(fs.SetpciCalls().empty());
    for (const std::string& call : fs.SetpciCalls())
        EXPECT_NE(call.find("0000:03:00.0"), std::string::npos) << call;
}

// Something other than a regular file or a directory in the firmware file's
// place is refused at once, as a file that cannot be opened.
TEST(EngineFirmware, FifoInPlaceOfTheFileIsRefusedAtOnce)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    ASSERT_EQ(mkfifo((fs.WorkDir() + "/zk_firmware.hex").c_str(), 0644), 0);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Failed to open firmware file, zk_firmware.hex\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(ends_with(log_text(), "[    FATAL]  Failed to open firmware file, zk_firmware.hex\n"));
}

// Runs that end while the firmware file is chosen or checked: the message, 255,
// and no closing line in the log.
TEST(EngineFirmware, RefusedFiles)
{
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // name, content
        std::string err;
    };
    const std::vector<uint8_t> body = pattern(64);
    const std::string jq21 = headered(4, 0, version_word(2, 0, 3), body).text;     // JQ-R21A-8
    const std::string jq33_32 = headered(5, 0, version_word(2, 0, 3), body).text;  // JQ-R33-32
    const std::vector<Case> cases = {
        {"no firmware file", {}, "No firmware file found.\n"},
        {"unlisted name only", {{"firmware.hex", jq21}}, "No firmware file found.\n"},
        {"product code without a product", {{"zk_firmware.hex", headered(6, 0, 0, body).text}},
         "Invalid firmware\n"},
        {"no board of the product", {{"zk_firmware.hex", jq33_32}}, "No 'JQ-R33-32' GPU found.\n"},
        {"the later name wins over a fitting one",
         {{"zk_firmware.hex", jq21}, {"JQ-R33D-16-00_V2.0.0.hex", jq33_32}},
         "No 'JQ-R33-32' GPU found.\n"},
        {"signed ZK-R610 image with a bad signature", {{"zk610_150w_v1.1.0.hex", zk_image(pattern(256), true).text}},
         "Error: Invalid firmware file, SM2 signature verification failed.\n"},
        {"characters outside the format", {{"zk_firmware.hex", "0A 0b\n"}},
         "Unsupported firmware file format: zk_firmware.hex\n"},
    };
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    fs.AddPci(zk_board("0000:04:00.0", version_word(1, 0, 0)));
    for (const Case& c : cases) {
        std::error_code ec;
        for (const std::string& old : FakeSystem::ListDir(fs.WorkDir()))
            std::filesystem::remove(fs.WorkDir() + "/" + old, ec);
        std::filesystem::remove_all("/var/log/qvFwTool", ec);  // a fresh log per case
        for (const auto& file : c.files)
            fs.WriteWorkFile(file.first, file.second);
        auto r = fs.Run({"--silent"});
        EXPECT_EQ(r.status, 255) << c.what;
        EXPECT_TRUE(ends_with(r.err, c.err)) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.what;
        // The log ends with the message, without a closing line.
        EXPECT_TRUE(ends_with(log_text(), "[    FATAL]  " + c.err)) << c.what;
        EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 16), std::string(16, '\0')) << c.what;
    }
}

// The later of two present names is used when it fits; the earlier file would not.
TEST(EngineFirmware, LaterNameIsUsed)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    fs.WriteWorkFile("zk_firmware.hex", headered(5, 0, version_word(9, 9, 9), pattern(64)).text);
    // A broken CRC ends the run before any board is touched, after the binding.
    fs.WriteWorkFile("jq21a_75w_v2.0.3.hex", headered(4, 0, version_word(2, 0, 3), pattern(64), true).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nCRC check failed! \nPlease confirm your firmware file is correct.\n");
}
