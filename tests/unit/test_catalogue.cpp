// Catalogue tables: product names, the product code rule and the status texts.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "catalogue.h"

// Every text of the catalogue as the tool prints it: the display name of each
// product value and the message of each status key, and no row beyond these.
TEST(Catalogue, EveryTextAsPrinted)
{
    struct Name {
        uint32_t value;
        const char* text;
    };
    const Name names[] = {
        {0, "ZK-R640-C"},        {1, "ZK-R610"},          {2, "ZK-R610-CD"},       {3, "ZK-R640-64"},
        {4, "ZK-R640-OAM"},      {5, "ZK-R640-OAM_PA"},   {6, "ZK-R640-X"},        {7, "ZK-R640-S"},
        {8, "JQ-R610-32"},       {9, "JQ-R610"},          {10, "JQ-R33"},          {11, "JQ-R33-16"},
        {12, "JQ-R33-16D"},      {13, "JQ-R33-32"},       {14, "JQ-R33A-16"},      {15, "JQ-R33A-32"},
        {16, "JQ-R21A-8"},       {17, "JQ-R33-DUO"},      {18, "JQ00_SOCKET"},     {19, "JQ01_SCAN"},
        {20, "WZ-R820"},         {21, "UNKNOWN"},
    };
    ASSERT_EQ(product_table.size(), sizeof(names) / sizeof(names[0]));
    for (const Name& name : names)
        EXPECT_STREQ(product_table[name.value], name.text) << "product " << name.value;

    const StatusTable* const jq = &jq_exception_table;
    const StatusTable* const zk = &zk_exception_table;
    const StatusTable* const wz_mailbox = &wzMailbox0_7ErrorTable;
    const StatusTable* const wz_scratch4 = &wzFirmwareScratch4ErrorTable;
    const std::map<const StatusTable*, std::string> table_names = {
        {jq, "jq_exception_table"},
        {zk, "zk_exception_table"},
        {wz_mailbox, "wzMailbox0_7ErrorTable"},
        {wz_scratch4, "wzFirmwareScratch4ErrorTable"},
    };
    struct Row {
        const StatusTable* table;
        uint32_t key;
        const char* text;
    };
    const Row rows[] = {
        {jq, 0x1, "mc training failure."},
        {jq, 0x2, "Pvt initialization failure."},
        {jq, 0x4, "Vdd core initialization failure."},
        {jq, 0x8, "Mem_0v85 initialization failure."},
        {jq, 0x10, "Mem_1v2 initialization failure."},
        {jq, 0x20, "Vcc12 initialization failure."},
        {jq, 0x40, "Temp_senor initialization failure."},
        {jq, 0x80, "Pmbus operation failure."},
        {jq, 0x100, "Software errors in pmu monitor."},
        {jq, 0x200, "Create task queue failure."},
        {jq, 0x400, "Read local memory failure."},
        {jq, 0x800, "Write local memory failure."},
        {jq, 0x1000, "Erase spi flash failure."},
        {jq, 0x2000, "Program spi flash failure."},
        {jq, 0x4000, "Read spi flash failure."},
        {jq, 0x8000, "Write enable spi flash failure."},
        {jq, 0x10000, "Read spi flash status register failure."},
        {jq, 0x20000, "Flash datas crc mismatch with update datas crc."},
        {jq, 0x40000, "Read flash datas crc error."},
        {jq, 0x80000, "Uart crc error."},
        {jq, 0x100000, "Maibox parameter error."},
        {jq, 0x200000, "Maibox cmd invalid."},
        {jq, 0x400000, "Write spi flash status register failure."},
        {jq, 0x800000, "Local memory init failure."},
        {jq, 0x1000000, "Adjust vcore failure."},
        {jq, 0x2000000, "Hbm ecc errer."},
        {jq, 0x4000000, "VCC3v3 Init failure."},
        {jq, 0x8000000, "Product info crc error."},
        {jq, 0x10000000, "No fuseinfo err."},
        {jq, 0x20000000, "Pmic upgrade fail."},
        {jq, 0x40000000, "Pcie speed down."},
        {jq, 0x80000000, "General fail."},
        {zk, 0x400, "SCPU read hbm error."},
        {zk, 0x1000, "Erase spi flash failure."},
        {zk, 0x2000, "Write spi flash failure."},
        {zk, 0x4000, "Read spi flash failure."},
        {zk, 0x8000, "Write enable spi flash failure."},
        {zk, 0x10000, "Read spi flash status register failure."},
        {zk, 0x20000, "Flash datas crc mismatch with update datas crc."},
        {zk, 0x40000, "Read flash datas crc error."},
        {zk, 0x400000, "Write spi flash status register failure."},
        {wz_mailbox, 0x1, "scpu read memory error."},
        {wz_mailbox, 0x2, "hbm data crc mismatch error."},
        {wz_mailbox, 0x4, "spi flash erase error."},
        {wz_mailbox, 0x8, "spi flash write error."},
        {wz_mailbox, 0x10, "spi flash read error."},
        {wz_mailbox, 0x20, "spi flash data crc mismatch error."},
        {wz_mailbox, 0x40, "spi flash unprotect error."},
        {wz_mailbox, 0x80, "spi flash protect error."},
        {wz_mailbox, 0x100, "data length error."},
        {wz_scratch4, 0x40000, "spi flash erase error."},
        {wz_scratch4, 0x80000, "spi flash write enable error."},
        {wz_scratch4, 0x100000, "spi flash write sr error."},
        {wz_scratch4, 0x200000, "spi flash page prog error."},
        {wz_scratch4, 0x400000, "spi flash read error."},
        {wz_scratch4, 0x800000, "spi flash read sr error."},
        {wz_scratch4, 0x1000000, "spi flash write sr failure."},
        {wz_scratch4, 0x4000000, "spi flash mailbox parameter error."},
        {wz_scratch4, 0x40000000, "fw sdma failure."},
    };
    std::map<const StatusTable*, size_t> rows_of;
    for (const Row& row : rows) {
        EXPECT_STREQ(row.table->find(row.key), row.text) << table_names.at(row.table) << " 0x" << std::hex << row.key;
        ++rows_of[row.table];
    }
    for (const auto& table : table_names)
        EXPECT_EQ(table.first->size, rows_of[table.first]) << table.second;
}

TEST(Catalogue, ProductIdMap)
{
    struct Case {
        uint32_t code, variant;
        std::optional<product_t> expected;
    };
    const Case cases[] = {
        {0, 0, JQ_R610_32},   {0, 7, JQ_R610_32},   {1, 3, JQ_R33_16},    {2, 0, JQ_R33A_16},
        {3, 0, ZK_R640_64},   {19, 5, ZK_R640_64},  {4, 0, JQ_R21A_8},    {5, 0, JQ_R33_32},
        {7, 0, JQ_R33_16D},   {8, 0, ZK_R640_OAM},  {9, 0, ZK_R640_X},    {10, 0, ZK_R640_S},
        {26, 0, ZK_R640_S},   {11, 0, JQ_R33A_32},  {12, 0, JQ_R33_DUO},  {28, 1, JQ_R33_DUO},
        {15, 0, JQ01_SCAN},   {16, 1, ZK_R640_OAM_PA}, {16, 0, std::nullopt}, {16, 2, std::nullopt},
        {29, 0, JQ00_SOCKET}, {29, 1, JQ_R610_32},  {29, 2, JQ_R33_16},   {29, 7, JQ00_SOCKET},
        {6, 0, UNKNOWN},      {13, 0, UNKNOWN},     {14, 0, UNKNOWN},     {17, 0, UNKNOWN},
        {18, 0, UNKNOWN},     {20, 0, UNKNOWN},     {25, 0, UNKNOWN},     {27, 0, UNKNOWN},
        {30, 0, UNKNOWN},     {31, 0, UNKNOWN},     {255, 0, UNKNOWN},    {0xffffffff, 1, UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(product_id_map(c.code, c.variant), c.expected) << "code " << c.code << " variant " << c.variant;
    }
    // The map never yields the products that come from the callers' own tests.
    for (uint32_t code = 0; code < 64; ++code) {
        for (uint32_t variant = 0; variant < 8; ++variant) {
            auto p = product_id_map(code, variant);
            if (!p)
                continue;
            for (product_t never : {ZK_R640_C, ZK_R610, ZK_R610_CD, JQ_R610, JQ_R33, WZ_R820})
                EXPECT_NE(*p, never) << "code " << code << " variant " << variant;
        }
    }
}

// A key is looked up as a whole: no bit of it alone, no key of two bits.
TEST(Catalogue, StatusKeysWithoutRowGiveNothing)
{
    struct Case {
        const StatusTable* table;
        uint32_t key;
    };
    const Case cases[] = {
        {&jq_exception_table, 0},          {&jq_exception_table, 0x3},
        {&jq_exception_table, 0x80000001u}, {&zk_exception_table, 0},
        {&zk_exception_table, 0x3000},     {&zk_exception_table, 0x800},
        {&wzMailbox0_7ErrorTable, 0x200},  {&wzMailbox0_7ErrorTable, 0x101},
        {&wzFirmwareScratch4ErrorTable, 0x2000000}, {&wzFirmwareScratch4ErrorTable, 0x20000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.table->find(c.key), nullptr) << std::hex << c.key;
}

// Splits "name_v1.2.3.hex" (or "..._V1.2.3.hex") into the image name and its version numbers.
static bool split_release(const std::string& name, std::string& image, std::vector<int>& version)
{
    size_t v = name.rfind("_v");
    if (v == std::string::npos)
        v = name.rfind("_V");
    if (v == std::string::npos)
        return false;
    image = name.substr(0, v);
    std::string text = name.substr(v + 2, name.size() - v - 2 - 4);
    version.clear();
    size_t pos = 0;
    for (;;) {
        size_t dot = text.find('.', pos);
        std::string num = text.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        if (num.empty() || num.find_first_not_of("0123456789") != std::string::npos ||
            (num.size() > 1 && num[0] == '0'))
            return false;
        version.push_back(std::stoi(num));
        if (dot == std::string::npos)
            break;
        pos = dot + 1;
    }
    return version.size() == 3;
}

TEST(Catalogue, FirmwareNames)
{
    EXPECT_EQ(all_firmwares.size(), 57u);
    std::set<std::string> seen;
    std::map<std::string, std::vector<int>> last_version;
    // The five shapes of a release name, with the number of entries of each.
    const std::string ver = "(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)";
    const std::vector<std::regex> shapes = {
        std::regex("zk_[a-z]+\\.hex"),                                              // line and word
        std::regex("XJ[0-9]+_v" + ver + "\\.hex"),                               // fourth line
        std::regex("(zk|jq)[0-9]+[a-z]?_[0-9]+w_v" + ver + "\\.hex"),             // lower case, power
        std::regex("(ZK|JQ)[0-9]+[A-Z]?_[0-9]+G_[0-9]+W_v" + ver + "\\.hex"),     // memory and power
        std::regex("(ZK|JQ)-R[0-9]+[A-Z]?-[0-9]+-00_V" + ver + "\\.hex"),        // hyphenated
    };
    std::vector<int> shape_counts(shapes.size(), 0);
    for (size_t i = 0; i < all_firmwares.size(); ++i) {
        std::string name = all_firmwares[i];
        EXPECT_TRUE(seen.insert(name).second) << name;
        EXPECT_GE(name.size(), 14u) << name;
        EXPECT_LE(name.size(), 26u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".hex") << name;
        EXPECT_EQ(name.find('/'), std::string::npos) << name;
        int matched = 0;
        for (size_t k = 0; k < shapes.size(); ++k) {
            if (std::regex_match(name, shapes[k])) {
                ++shape_counts[k];
                ++matched;
            }
        }
        EXPECT_EQ(matched, 1) << "not exactly one known shape: " << name;
        if (i == 0) {
            EXPECT_TRUE(std::regex_match(name, shapes[0])) << name;
            continue;
        }
        std::string image;
        std::vector<int> version;
        ASSERT_TRUE(split_release(name, image, version)) << name;
        auto it = last_version.find(image);
        if (it != last_version.end()) {
            EXPECT_LT(it->second, version) << "older release after newer: " << name;
        }
        last_version[image] = version;
    }
    EXPECT_EQ(shape_counts, (std::vector<int>{1, 1, 44, 4, 7}));
}

// The built-in key is the public half of the release key kept for signing test images.
TEST(Catalogue, PublicKeyMatchesReleaseKey)
{
    std::string path = std::string(QVFW_TESTS_DIR) + "/fixtures/release_key.pem";
    FILE* f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr) << path;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    ASSERT_NE(key, nullptr);
    unsigned char point[65];
    size_t len = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point), &len), 1);
    EVP_PKEY_free(key);
    ASSERT_EQ(len, 65u);
    EXPECT_EQ(memcmp(point, pub_key, 65), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(user_id), sizeof(user_id)), "1234567812345678");
}
