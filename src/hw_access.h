// The one seam to the hardware: every access to a register or memory window
// of a board, and every wait between polls, goes through these functions.
// The program links hw_access.cpp (mmap of the PCI resource files, usleep);
// the unit tests link a simulated board in its place.
#pragma once

#include <cstdint>

// Reads the little-endian 32-bit register at byte offset of the register
// window open on fd. False, with value untouched, when the window cannot be
// mapped or the word does not lie wholly inside it.
bool hw_reg_read32(int fd, int offset, uint32_t& value);

// Writes value as a little-endian 32-bit word at byte offset of the register
// window open on fd. False, with nothing written, when the window cannot be
// mapped or the word does not lie wholly inside it.
bool hw_reg_write32(int fd, int offset, uint32_t value);

// Maps the first map_length bytes of the memory window open on fd and copies
// length bytes of source into it from byte start on, one byte at a time in
// ascending order. False, with nothing copied, when that mapping fails or
// does not lie inside the window, or the copy would run past the mapping.
bool hw_mem_write(int fd, uint32_t map_length, uint32_t start, const unsigned char* source, uint32_t length);

// Maps the first map_length bytes of the memory window open on fd and copies
// length bytes from byte start on into destination. False, with nothing
// copied, on the same conditions as hw_mem_write.
bool hw_mem_read(int fd, uint32_t map_length, uint32_t start, unsigned char* destination, uint32_t length);

// Blocks the calling thread for the given number of microseconds.
void hw_sleep_us(unsigned int microseconds);
