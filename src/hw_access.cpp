// The hardware window unit of the program: each access maps the whole window
// (or the requested part of the memory window), makes its one access and
// unmaps it again. The window's size comes from fstat; an access that would
// reach past its end is refused like a failed mapping, since touching a
// mapped page beyond a resource file's end raises a bus error.
#include "hw_access.h"

#include <endian.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void* map_window(int fd, uint64_t length)
{
    if (length == 0)
        return nullptr;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return base == MAP_FAILED ? nullptr : base;
}

// Maps the whole register window, its length being the file's size taken as
// an unsigned 32-bit number, and checks that the 4 bytes at offset lie inside it.
volatile uint32_t* map_register(int fd, int offset, uint64_t& length, void*& base)
{
    if (!hw_window_size(fd, length))
        return nullptr;
    length = hw_register_window_length(length);
    if (!hw_register_fits(static_cast<uint32_t>(length), offset))
        return nullptr;
    base = map_window(fd, length);
    if (base == nullptr)
        return nullptr;
    return reinterpret_cast<volatile uint32_t*>(static_cast<unsigned char*>(base) + offset);
}

// Maps the first map_length bytes of the memory window when they, and the
// copy of length bytes from start, lie inside the window.
volatile unsigned char* map_memory(int fd, uint32_t map_length, uint32_t start, uint32_t length)
{
    uint64_t size = 0;
    if (!hw_window_size(fd, size) || !hw_memory_fits(size, map_length, start, length))
        return nullptr;
    return static_cast<volatile unsigned char*>(map_window(fd, map_length));
}

} // namespace

bool hw_reg_read32(int fd, int offset, uint32_t& value)
{
    uint64_t length = 0;
    void* base = nullptr;
    volatile uint32_t* word = map_register(fd, offset, length, base);
    if (word == nullptr)
        return false;
    value = le32toh(*word);
    munmap(base, length);
    return true;
}

bool hw_reg_write32(int fd, int offset, uint32_t value)
{
    uint64_t length = 0;
    void* base = nullptr;
    volatile uint32_t* word = map_register(fd, offset, length, base);
    if (word == nullptr)
        return false;
    *word = htole32(value);
    munmap(base, length);
    return true;
}

bool hw_mem_write(int fd, uint32_t map_length, uint32_t start, const unsigned char* source, uint32_t length)
{
    volatile unsigned char* window = map_memory(fd, map_length, start, length);
    if (window == nullptr)
        return false;
    for (uint32_t i = 0; i < length; ++i)
        window[start + i] = source[i];
    munmap(const_cast<unsigned char*>(window), map_length);
    return true;
}

bool hw_mem_read(int fd, uint32_t map_length, uint32_t start, unsigned char* destination, uint32_t length)
{
    volatile unsigned char* window = map_memory(fd, map_length, start, length);
    if (window == nullptr)
        return false;
    for (uint32_t i = 0; i < length; ++i)
        destination[i] = window[start + i];
    munmap(const_cast<unsigned char*>(window), map_length);
    return true;
}

void hw_sleep_us(unsigned int microseconds)
{
    usleep(microseconds);
}
