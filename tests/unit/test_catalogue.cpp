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

TEST(Catalogue, ProductNames)
{
    EXPECT_EQ(product_table.size(), 22u);
    EXPECT_STREQ(product_table[ZK_R640_C], "ZK-R640-C");
    EXPECT_STREQ(product_table[ZK_R640_OAM_PA], "ZK-R640-OAM_PA");
    EXPECT_STREQ(product_table[ZK_R610], "ZK-R610");
    EXPECT_STREQ(product_table[ZK_R610_CD], "ZK-R610-CD");
    EXPECT_STREQ(product_table[WZ_R820], "WZ-R820");
    EXPECT_STREQ(product_table[UNKNOWN], "UNKNOWN");
    for (const char* name : product_table) {
        size_t len = strlen(name);
        EXPECT_GE(len, 6u);
        EXPECT_LE(len, 14u);
        EXPECT_EQ(strpbrk(name, " \n"), nullptr);
    }
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

TEST(Catalogue, JqExceptionTableHasOneTextPerBit)
{
    EXPECT_STREQ(jq_exception_table.find(0x80000000u), "General fail.");
    EXPECT_STREQ(jq_exception_table.find(0x1), "mc training failure.");
    for (int bit = 0; bit < 32; ++bit)
        EXPECT_NE(jq_exception_table.find(1u << bit), nullptr) << bit;
    EXPECT_EQ(jq_exception_table.find(0), nullptr);
    EXPECT_EQ(jq_exception_table.find(0x3), nullptr);
    EXPECT_EQ(jq_exception_table.find(0x80000001u), nullptr);
}

TEST(Catalogue, StatusTablesLookUpExactKeys)
{
    struct Case {
        const StatusTable* table;
        uint32_t key;
        const char* expected;
    };
    const Case cases[] = {
        {&zk_exception_table, 0x400, "SCPU read hbm error."},
        {&zk_exception_table, 0x400000, "Write spi flash status register failure."},
        {&zk_exception_table, 0x3000, nullptr},
        {&zk_exception_table, 0x800, nullptr},
        {&zk_exception_table, 0, nullptr},
        {&wzMailbox0_7ErrorTable, 0x1, "scpu read memory error."},
        {&wzMailbox0_7ErrorTable, 0x100, "data length error."},
        {&wzMailbox0_7ErrorTable, 0x200, nullptr},
        {&wzFirmwareScratch4ErrorTable, 0x40000000, "fw sdma failure."},
        {&wzFirmwareScratch4ErrorTable, 0x4000000, "spi flash mailbox parameter error."},
        {&wzFirmwareScratch4ErrorTable, 0x2000000, nullptr},
        {&wzFirmwareScratch4ErrorTable, 0x20000, nullptr},
    };
    for (const Case& c : cases) {
        const char* got = c.table->find(c.key);
        if (c.expected == nullptr) {
            EXPECT_EQ(got, nullptr) << std::hex << c.key;
        } else {
            EXPECT_STREQ(got, c.expected) << std::hex << c.key;
        }
    }
    EXPECT_EQ(zk_exception_table.size, 9u);
    EXPECT_EQ(wzMailbox0_7ErrorTable.size, 9u);
    EXPECT_EQ(wzFirmwareScratch4ErrorTable.size, 9u);
    for (const StatusTable* t : {&jq_exception_table, &zk_exception_table, &wzMailbox0_7ErrorTable,
                                 &wzFirmwareScratch4ErrorTable}) {
        for (size_t i = 0; i < t->size; ++i) {
            std::string text = t->rows[i].text;
            EXPECT_EQ(text.back(), '.');
            EXPECT_EQ(text.find('\n'), std::string::npos);
            EXPECT_EQ(__builtin_popcount(t->rows[i].key), 1);
        }
    }
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
