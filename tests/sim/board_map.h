// The boards' register map and SCPU protocol values as the board documentation
// gives them, typed in by hand for the tests. The simulated board, the unit
// tests, the end-to-end fixtures and the SCPU responder all take their numbers
// from here and never from the program's own header, so a wrong number in the
// program shows up as a board that does not answer the way the test expects.
#pragma once

#include <cstdint>

namespace board_map {

// PCI device IDs of the chip groups.
constexpr int ZK_CHIP_ID = 0x0001;
constexpr int JQ_CHIP_IDS[] = {0x0002, 0x0003, 0x0007, 0x000B, 0x000F};
constexpr int WZ_CHIP_ID = 0x0210;

// ---------------------------------------------------------------------------
// Register window (resource2): byte offsets of 32-bit little-endian registers.

constexpr uint32_t BAUD_REG = 0x3408;  // bits 16-23: verification result
constexpr uint32_t BAUD_VERIF_PASSED = 5;
constexpr uint32_t FW_VERSION_REG_ZK = 0x707C;
constexpr uint32_t FW_VERSION_REG_JQ = 0x78A8;
constexpr uint32_t FW_VERSION_REG_WZ = 0x72A8;
constexpr uint32_t JQ_BOARD_REG = 0x78C0;           // bits 25-29 product, bits 0-2 variant
constexpr uint32_t JQ_CID_REG = 0x78F8;             // customer id
constexpr uint32_t ZK_R610_COST_DOWN_REG = 0x80A0;  // bit 2 clear: cost-down board
constexpr uint32_t ZK_R610_COST_DOWN_BIT = 0x4;
constexpr uint32_t RING_ENABLE_REG_ZK = 0x25000;
constexpr uint32_t RING_ENABLE_REG_OTHER = 0x1F000;

// SRAM port of the SCPU.
constexpr uint32_t SCPU_SRAM_ADDR_REG = 0x900C;
constexpr uint32_t SCPU_SRAM_DATA_REG = 0x9010;

// SCPU mailbox block, at 0x9000 on every chip of the three groups.
constexpr uint32_t SCPU_MAILBOX_BLOCK = 0x9000;
constexpr uint32_t REGG_SCPU__MAILBOX_CMD = 0x9128;
constexpr uint32_t REGG_SCPU__MAILBOX0_1 = 0x912C;  // argument 1, result word, srcid probe
constexpr uint32_t REGG_SCPU__MAILBOX0_2 = 0x9130;
constexpr uint32_t REGG_SCPU__MAILBOX0_3 = 0x9134;
constexpr uint32_t REGG_SCPU__MAILBOX0_4 = 0x9138;
constexpr uint32_t REGG_SCPU__MAILBOX_BUSY = 0x9148;
constexpr uint32_t REGG_SCPU__MAILBOX_READY = 0x917C;
constexpr uint32_t MAILBOX_SET_STATUS_REG = 0x9180;
constexpr uint32_t REGG_SCPU__MAILBOX_SRCID = 0x91A0;

// Firmware error bits of the WZ chip (an absolute offset).
constexpr uint32_t FW_SCRATCH4_REG = 0x9140;

// WZ mailbox: eight words and a busy word.
constexpr uint32_t WZ_MAILBOX_CMD = 0x9E00;
constexpr uint32_t WZ_MAILBOX_ARG = 0x9E04;
constexpr uint32_t WZ_MAILBOX_WORD2 = 0x9E08;
constexpr uint32_t WZ_MAILBOX_WORD3 = 0x9E0C;
constexpr uint32_t WZ_MAILBOX_WORD4 = 0x9E10;
constexpr uint32_t WZ_MAILBOX_WORD5 = 0x9E14;
constexpr uint32_t WZ_MAILBOX_WORD6 = 0x9E18;
constexpr uint32_t Mailbox0_7 = 0x9E1C;
constexpr uint32_t WZ_MAILBOX_BUSY = 0x9E20;

// Memory write-through control of the ZK chip: bits 24-27 become 0xC.
constexpr uint32_t MEM_WRITE_THROUGH_REG = 0x12800;
constexpr uint32_t MEM_WRITE_THROUGH_KEEP = 0xF0FFFFFF;
constexpr uint32_t MEM_WRITE_THROUGH_ON = 0x0C000000;

// Warm-reset registers.
constexpr uint32_t WARM_RESET_3804 = 0x3804;
constexpr uint32_t WARM_RESET_4200 = 0x4200;
constexpr uint32_t WARM_RESET_4A00 = 0x4A00;
constexpr uint32_t WARM_RESET_4A0C = 0x4A0C;
constexpr uint32_t WARM_RESET_4A20 = 0x4A20;
constexpr uint32_t WARM_RESET_5200 = 0x5200;
constexpr uint32_t WARM_RESET_5A00 = 0x5A00;
constexpr uint32_t WARM_RESET_5E00 = 0x5E00;
constexpr uint32_t WARM_RESET_6200 = 0x6200;
constexpr uint32_t WARM_RESET_6A00 = 0x6A00;
constexpr uint32_t WARM_RESET_6E00 = 0x6E00;
// The write to 0x3804 that starts a warm reset (and with it memory training).
constexpr uint32_t WARM_RESET_START_VALUE = 0x84;

// ---------------------------------------------------------------------------
// Memory window (resource0): the image area begins at this byte.
constexpr uint32_t IMAGE_OFFSET = 0x800;

// ---------------------------------------------------------------------------
// SCPU mailbox protocol.

constexpr uint32_t MAILBOX_READY_VALUE = 0x66;  // mailbox ready; after a reset, training done
constexpr uint32_t MAILBOX_BUSY_VALUE = 1;
constexpr uint32_t MAILBOX_RESULT_OK = 1;
constexpr uint32_t SRCID_PROBE_VALUE = 0x5A5A5A5A;
constexpr uint32_t SRCID_DEFAULT = 0xC0;  // commands to every chip but the ZK chip

// Command word of a transfer: opcode in bits 0-11, the image length (its low
// 18 bits) in bits 12-29, bits 30-31 clear.
constexpr uint32_t command_word(uint64_t length, uint32_t opcode)
{
    return ((static_cast<uint32_t>(length) << 12) & 0x3FFFF000u) | opcode;
}
constexpr uint32_t OPCODE_SRAM_ZK = 0x16;
constexpr uint32_t OPCODE_SRAM_OTHER = 0x19;
constexpr uint32_t OPCODE_MEMORY = 0x0B;

// SRAM port: load address and chunk size.
constexpr uint32_t SRAM_LOAD_ADDR_ZK = 0xD400;
constexpr uint32_t SRAM_LOAD_ADDR_OTHER = 0x3BC00;
constexpr uint32_t SRAM_CHUNK_ZK = 256;
constexpr uint32_t SRAM_CHUNK_OTHER = 1024;

// WZ mailbox command that takes the image from the memory window.
constexpr uint32_t WZ_CMD_UPGRADE_FROM_MEMORY = 11;

// Commands of the ZK warm reset; the last carries a fourth argument.
constexpr uint32_t WARM_RESET_CMD_1 = 0x400F;
constexpr uint32_t WARM_RESET_CMD_2 = 0x4005;
constexpr uint32_t WARM_RESET_CMD_3 = 0x4004;
constexpr uint32_t WARM_RESET_CMD_4 = 0x10000;
constexpr uint32_t WARM_RESET_CMD_4_ARG4 = 0x8006804D;

// Waits: busy polls of a mailbox command and polls of memory training.
constexpr int MAILBOX_POLLS = 200;
constexpr uint32_t MAILBOX_POLL_US = 100000;
constexpr int TRAINING_POLLS = 100;
constexpr uint32_t TRAINING_POLL_US = 30000;

} // namespace board_map
