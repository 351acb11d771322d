// Constant tables of the product and status catalogue.
#include "catalogue.h"

const std::array<const char*, PRODUCT_COUNT> product_table = {
    "ZK-R640-C",   "ZK-R610",    "ZK-R610-CD", "ZK-R640-64", "ZK-R640-OAM", "ZK-R640-OAM_PA",
    "ZK-R640-X",   "ZK-R640-S",  "JQ-R610-32", "JQ-R610",    "JQ-R33",      "JQ-R33-16",
    "JQ-R33-16D",  "JQ-R33-32",  "JQ-R33A-16", "JQ-R33A-32", "JQ-R21A-8",   "JQ-R33-DUO",
    "JQ00_SOCKET", "JQ01_SCAN",  "WZ-R820",    "UNKNOWN",
};

std::optional<product_t> product_id_map(uint32_t code, uint32_t variant)
{
    if (code == 16) {
        if (variant == 1)
            return ZK_R640_OAM_PA;
        return std::nullopt;
    }
    if (code == 29) {
        if (variant == 1)
            return JQ_R610_32;
        if (variant == 2)
            return JQ_R33_16;
        return JQ00_SOCKET;
    }
    switch (code) {
    case 0: return JQ_R610_32;
    case 1: return JQ_R33_16;
    case 2: return JQ_R33A_16;
    case 3: return ZK_R640_64;
    case 4: return JQ_R21A_8;
    case 5: return JQ_R33_32;
    case 7: return JQ_R33_16D;
    case 8: return ZK_R640_OAM;
    case 9: return ZK_R640_X;
    case 10: return ZK_R640_S;
    case 11: return JQ_R33A_32;
    case 12: return JQ_R33_DUO;
    case 15: return JQ01_SCAN;
    case 19: return ZK_R640_64;
    case 26: return ZK_R640_S;
    case 28: return JQ_R33_DUO;
    default: return UNKNOWN;
    }
}

const char* StatusTable::find(uint32_t key) const
{
    for (std::size_t i = 0; i < size; ++i) {
        if (rows[i].key == key)
            return rows[i].text;
    }
    return nullptr;
}

namespace {

const StatusEntry jq_rows[] = {
    {0x1, "mc training failure."},
    {0x2, "Pvt initialization failure."},
    {0x4, "Vdd core initialization failure."},
    {0x8, "Mem_0v85 initialization failure."},
    {0x10, "Mem_1v2 initialization failure."},
    {0x20, "Vcc12 initialization failure."},
    {0x40, "Temp_senor initialization failure."},
    {0x80, "Pmbus operation failure."},
    {0x100, "Software errors in pmu monitor."},
    {0x200, "Create task queue failure."},
    {0x400, "Read local memory failure."},
    {0x800, "Write local memory failure."},
    {0x1000, "Erase spi flash failure."},
    {0x2000, "Program spi flash failure."},
    {0x4000, "Read spi flash failure."},
    {0x8000, "Write enable spi flash failure."},
    {0x10000, "Read spi flash status register failure."},
    {0x20000, "Flash datas crc mismatch with update datas crc."},
    {0x40000, "Read flash datas crc error."},
    {0x80000, "Uart crc error."},
    {0x100000, "Maibox parameter error."},
    {0x200000, "Maibox cmd invalid."},
    {0x400000, "Write spi flash status register failure."},
    {0x800000, "Local memory init failure."},
    {0x1000000, "Adjust vcore failure."},
    {0x2000000, "Hbm ecc errer."},
    {0x4000000, "VCC3v3 Init failure."},
    {0x8000000, "Product info crc error."},
    {0x10000000, "No fuseinfo err."},
    {0x20000000, "Pmic upgrade fail."},
    {0x40000000, "Pcie speed down."},
    {0x80000000, "General fail."},
};

const StatusEntry zk_rows[] = {
    {0x400, "SCPU read hbm error."},
    {0x1000, "Erase spi flash failure."},
    {0x2000, "Write spi flash failure."},
    {0x4000, "Read spi flash failure."},
    {0x8000, "Write enable spi flash failure."},
    {0x10000, "Read spi flash status register failure."},
    {0x20000, "Flash datas crc mismatch with update datas crc."},
    {0x40000, "Read flash datas crc error."},
    {0x400000, "Write spi flash status register failure."},
};

const StatusEntry wz_mailbox_rows[] = {
    {0x1, "scpu read memory error."},
    {0x2, "hbm data crc mismatch error."},
    {0x4, "spi flash erase error."},
    {0x8, "spi flash write error."},
    {0x10, "spi flash read error."},
    {0x20, "spi flash data crc mismatch error."},
    {0x40, "spi flash unprotect error."},
    {0x80, "spi flash protect error."},
    {0x100, "data length error."},
};

const StatusEntry wz_scratch4_rows[] = {
    {0x40000, "spi flash erase error."},
    {0x80000, "spi flash write enable error."},
    {0x100000, "spi flash write sr error."},
    {0x200000, "spi flash page prog error."},
    {0x400000, "spi flash read error."},
    {0x800000, "spi flash read sr error."},
    {0x1000000, "spi flash write sr failure."},
    {0x4000000, "spi flash mailbox parameter error."},
    {0x40000000, "fw sdma failure."},
};

} // namespace

const StatusTable jq_exception_table = {jq_rows, sizeof(jq_rows) / sizeof(jq_rows[0])};
const StatusTable zk_exception_table = {zk_rows, sizeof(zk_rows) / sizeof(zk_rows[0])};
const StatusTable wzMailbox0_7ErrorTable = {wz_mailbox_rows, sizeof(wz_mailbox_rows) / sizeof(wz_mailbox_rows[0])};
const StatusTable wzFirmwareScratch4ErrorTable = {wz_scratch4_rows,
                                                  sizeof(wz_scratch4_rows) / sizeof(wz_scratch4_rows[0])};

// Release names of the recognised firmware images. The program takes the last
// one present in the working directory, so later entries win; of two releases
// of one image the newer stands later.
const std::array<const char*, 57> all_firmwares = {
    "zk_firmware.hex",
    "XJ200_v1.0.4.hex",
    "zk640c_300w_v1.0.2.hex",
    "zk640c_300w_v1.1.0.hex",
    "zk640c_350w_v2.0.0.hex",
    "zk640c_350w_v2.0.3.hex",
    "zk640_300w_v1.0.2.hex",
    "zk640_300w_v1.1.0.hex",
    "zk640s_250w_v2.0.0.hex",
    "zk640s_250w_v2.0.3.hex",
    "zk640x_350w_v1.0.2.hex",
    "zk640x_350w_v1.1.0.hex",
    "zk640p_450w_v2.0.0.hex",
    "zk640p_450w_v2.0.3.hex",
    "zk610_150w_v1.0.2.hex",
    "zk610_150w_v1.1.0.hex",
    "zk610c_120w_v2.0.0.hex",
    "zk610c_120w_v2.0.3.hex",
    "jq610_300w_v1.0.2.hex",
    "jq610_300w_v1.1.0.hex",
    "jq610_350w_v2.0.0.hex",
    "jq610_350w_v2.0.3.hex",
    "jq33_150w_v1.0.2.hex",
    "jq33_150w_v1.1.0.hex",
    "jq33d_150w_v2.0.0.hex",
    "jq33d_150w_v2.0.3.hex",
    "jq33_250w_v1.0.2.hex",
    "jq33_250w_v1.1.0.hex",
    "jq33a_150w_v2.0.0.hex",
    "jq33a_150w_v2.0.3.hex",
    "jq33a_250w_v1.0.2.hex",
    "jq33a_250w_v1.1.0.hex",
    "jq21a_75w_v2.0.0.hex",
    "jq21a_75w_v2.0.3.hex",
    "jq66_300w_v1.0.2.hex",
    "jq66_300w_v1.1.0.hex",
    "jq00_100w_v2.0.0.hex",
    "jq00_100w_v2.0.3.hex",
    "jq01_100w_v1.0.2.hex",
    "jq01_100w_v1.1.0.hex",
    "zk640_400w_v2.0.0.hex",
    "zk640_400w_v2.0.3.hex",
    "zk640s_300w_v1.0.2.hex",
    "zk640s_300w_v1.1.0.hex",
    "jq610a_350w_v2.0.0.hex",
    "jq610a_350w_v2.0.3.hex",
    "JQ33A_16G_150W_v1.3.0.hex",
    "JQ33A_32G_250W_v1.3.0.hex",
    "JQ610_32G_300W_v2.1.0.hex",
    "JQ610_32G_300W_v2.2.1.hex",
    "ZK-R640-64-00_V1.0.0.hex",
    "ZK-R640-64-00_V1.2.0.hex",
    "JQ-R33-16-00_V1.4.0.hex",
    "JQ-R33A-32-00_V1.0.1.hex",
    "JQ-R610-32-00_V3.0.0.hex",
    "JQ-R21A-8-00_V1.1.0.hex",
    "JQ-R33D-16-00_V2.0.0.hex",
};

// The project's release signing key (public half).
const unsigned char pub_key[65] = {
    0x04, 0x9d, 0x8a, 0x25, 0xe7, 0xeb, 0xcb, 0x4b, 0x2e, 0xba, 0x44, 0xb2, 0x5c,
    0xa6, 0xe7, 0x51, 0x40, 0xfc, 0xdf, 0x39, 0x00, 0xbf, 0x45, 0x0b, 0x33, 0xa8,
    0x84, 0x74, 0xf3, 0xe4, 0xe2, 0x28, 0x79, 0x79, 0x7b, 0x05, 0x3f, 0x56, 0xec,
    0x7b, 0xc5, 0xd2, 0x97, 0x7f, 0xce, 0xde, 0xd8, 0xcc, 0x6c, 0x91, 0x8d, 0x68,
    0xc1, 0x2f, 0xb9, 0xc8, 0x51, 0x35, 0x90, 0x36, 0x58, 0xa0, 0x61, 0x54, 0xb8,
};

const unsigned char user_id[16] = {'1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4', '5', '6', '7', '8'};
