// The board inventory over a fake sysfs: which functions become boards, their
// products, and the order of the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "../e2e/engine_fixtures.h"
#include "fakesys.h"
#include "upgrader.h"
#include "upgrader_internal.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

size_t open_descriptors() { return FakeSystem::ListDir("/proc/self/fd").size(); }

} // namespace

TEST(Inventory, VendorFilterAndRejectedFunctions)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, 0));
    PciFunction other_vendor = jq_board("0000:04:00.0", 4, 0, 0);
    other_vendor.vendor = "0x8086";
    PciFunction no_vendor = jq_board("0000:05:00.0", 4, 0, 0);
    no_vendor.with_vendor = false;
    PciFunction garbage_vendor = jq_board("0000:06:00.0", 4, 0, 0);
    garbage_vendor.vendor = "zz";
    fs.AddPci(other_vendor);
    fs.AddPci(no_vendor);
    fs.AddPci(garbage_vendor);
    EXPECT_EQ(get_devices(), std::vector<std::string>{"/sys/bus/pci/devices/0000:03:00.0"});

    // Functions outside the chip groups, or unusable ones, are released at once.
    PciFunction unsupported = chip("0000:07:00.0", "0x0004");
    PciFunction no_memory = jq_board("0000:08:00.0", 4, 0, 0);
    no_memory.with_resource0 = false;
    fs.AddPci(unsupported);
    fs.AddPci(no_memory);
    std::vector<std::string> paths = {"/sys/bus/pci/devices/0000:07:00.0", "/sys/bus/pci/devices/0000:08:00.0"};
    std::map<Board*, QVDevice*> devices;
    size_t before = open_descriptors();
    ASSERT_GT(before, 2u);
    testing::internal::CaptureStderr();
    get_devices_info(paths, devices);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Inventory, ProductsAndOrder)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    struct Case {
        PciFunction fn;
        product_t product;
    };
    PciFunction customer = jq_board("0000:04:00.0", 4, 0, 0);
    customer.regs[JQ_CID_REG] = 0xfffffffe;
    const Case cases[] = {
        {zk_board("0000:01:00.0", 0), ZK_R610},
        {zk_board("0000:02:00.0", 0, true), ZK_R610_CD},
        {jq_board("0000:03:00.0", 4, 0, 0), JQ_R21A_8},
        {customer, ZK_R640_C},
        {jq_board("0000:05:00.0", 16, 1, 0), ZK_R640_OAM_PA},
        {jq_board("0000:06:00.0", 16, 3, 0), ZK_R640_C},
        {jq_board("0000:07:00.0", 6, 0, 0), UNKNOWN},
        {jq_board("0000:08:00.0", 29, 2, 0, "0x000F"), JQ_R33_16},
        {wz_board("0000:09:00.0", 0), WZ_R820},
    };
    for (const Case& c : cases)
        fs.AddPci(c.fn);

    Upgrader upgrader(false);
    std::vector<Board*> boards = upgrader.ListBoard();
    ASSERT_EQ(boards.size(), std::size(cases));
    EXPECT_TRUE(std::is_sorted(boards.begin(), boards.end(), std::less<Board*>()));
    EXPECT_EQ(boards, upgrader.boards);
    for (const Case& c : cases) {
        auto it = std::find_if(boards.begin(), boards.end(), [&](Board* b) { return b->bdf == c.fn.bdf; });
        ASSERT_NE(it, boards.end()) << c.fn.bdf;
        EXPECT_EQ((*it)->product, c.product) << c.fn.bdf;
        EXPECT_EQ((*it)->version, "0.0.0") << c.fn.bdf;
    }
}
