// The one seam to the hardware: every access to a register or memory window
// of a board, and every wait between polls, goes through these functions.
// The program links hw_access.cpp (mmap of the PCI resource files, usleep);
// the unit tests link a simulated board in its place.
#pragma once

#include <cstdint>

#include <sys/stat.h>

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

// Window rules, shared with the simulated board so that both refuse the same
// accesses.

// Size of the window file open on fd; false when fstat fails.
inline bool hw_window_size(int fd, uint64_t& size)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_size < 0)
        return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

// The register window's length is its file size taken as an unsigned 32-bit
// number; a register access needs its 4 bytes wholly inside it.
inline uint32_t hw_register_window_length(uint64_t file_size) { return static_cast<uint32_t>(file_size); }
inline bool hw_register_fits(uint32_t window_length, int offset)
{
    return offset >= 0 && static_cast<uint64_t>(offset) + 4 <= window_length;
}

// A memory copy maps the first map_length bytes, which must lie inside the
// window, and the copy of length bytes from start must lie inside the mapping.
inline bool hw_memory_fits(uint64_t file_size, uint32_t map_length, uint32_t start, uint32_t length)
{
    return map_length > 0 && map_length <= file_size && static_cast<uint64_t>(start) + length <= map_length;
}
