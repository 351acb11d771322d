// CRC-16/XMODEM of firmware images.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const uint16_t crc16_ccitt_table[256];
uint16_t crc16_ccitt(const unsigned char* data, uint32_t length);
uint16_t crc16_ccitt_new(const unsigned char* data, uint32_t length, uint16_t start);
uint16_t calcrc16(const unsigned char* data, uint32_t length);
// True when the last two bytes (low byte first) hold the CRC of the bytes before them.
bool fw_crc_check(unsigned char* data, uint32_t length);

#ifdef __cplusplus
}
#endif
