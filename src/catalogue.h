// The product and status catalogue: constant tables shared by the whole tool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

enum product_t : uint32_t {
    ZK_R640_C = 0,
    ZK_R610 = 1,
    ZK_R610_CD = 2,
    ZK_R640_64 = 3,
    ZK_R640_OAM = 4,
    ZK_R640_OAM_PA = 5,
    ZK_R640_X = 6,
    ZK_R640_S = 7,
    JQ_R610_32 = 8,
    JQ_R610 = 9,
    JQ_R33 = 10,
    JQ_R33_16 = 11,
    JQ_R33_16D = 12,
    JQ_R33_32 = 13,
    JQ_R33A_16 = 14,
    JQ_R33A_32 = 15,
    JQ_R21A_8 = 16,
    JQ_R33_DUO = 17,
    JQ00_SOCKET = 18,
    JQ01_SCAN = 19,
    WZ_R820 = 20,
    UNKNOWN = 21,
};

constexpr std::size_t PRODUCT_COUNT = 22;

// Display name of every product_t value, indexed by the value.
extern const std::array<const char*, PRODUCT_COUNT> product_table;

// Product code and variant to product; no value for code 16 with a variant other than 1.
std::optional<product_t> product_id_map(uint32_t code, uint32_t variant);

struct StatusEntry {
    uint32_t key;
    const char* text;
};

// A constant map from a 32-bit status key to its message (exact lookup).
struct StatusTable {
    const StatusEntry* rows;
    std::size_t size;
    // The text of key, or null when the table has no such row.
    const char* find(uint32_t key) const;
};

extern const StatusTable jq_exception_table;
extern const StatusTable zk_exception_table;
extern const StatusTable wzMailbox0_7ErrorTable;
extern const StatusTable wzFirmwareScratch4ErrorTable;

// Known firmware file names, lowest priority first.
extern const std::array<const char*, 57> all_firmwares;

// SM2 public key that verifies firmware signatures: 0x04, X (32 bytes), Y (32 bytes).
extern const unsigned char pub_key[65];
// Signer identity "1234567812345678", 16 bytes, no terminating NUL.
extern const unsigned char user_id[16];
constexpr int USER_ID_LEN = 16;
