// The simulated board: stands in for the hardware window unit in the unit
// tests. Registers are the bytes of the register window's file and memory the
// bytes of the memory window's file (read and written with pread/pwrite on the
// descriptor the device holds), so a test presets a register by writing the
// file. A small SCPU model answers the SCPU mailbox, the WZ mailbox, the SRAM
// port and the memory training after a warm reset. Every access and every
// sleep is traced; sleeps only advance a virtual clock.
//
// There is one board model per test process: it answers on whatever
// descriptor an access names, so a test that opens chips through the fake
// system (QVDevice::DetectGPU) drives the same model. It is reset before
// every test. Commands are accepted
// only while the ready word (0x917C) reads 0x66: SimChip presets it, other
// fixtures preset it in the register file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device.h"

namespace sim {

// A count of polls that never ends.
constexpr int NEVER = -1;

enum class Op { RegRead, RegWrite, MemWrite, MemRead, Sleep };

// One traced access. RegRead/RegWrite: register offset and the value read or
// written. MemWrite/MemRead: offset = first byte, value = length. Sleep:
// value = microseconds.
struct Access {
    Op op;
    uint32_t offset;
    uint32_t value;
    bool operator==(const Access& other) const
    {
        return op == other.op && offset == other.offset && value == other.value;
    }
};

// Shorthands for expected traces: a register read, a register write, a sleep.
inline Access R(uint32_t offset, uint32_t value) { return {Op::RegRead, offset, value}; }
inline Access W(uint32_t offset, uint32_t value) { return {Op::RegWrite, offset, value}; }
inline Access S(uint32_t us) { return {Op::Sleep, 0, us}; }

// The SCPU's answer to one SCPU mailbox command.
struct Outcome {
    int busy_polls = 0;      // reads of the busy word that give 1 before it clears; NEVER: stays 1
    uint32_t done_value = 0; // busy word once the command is done
    uint32_t result = 1;     // result word left in MAILBOX0_1
    uint32_t status = 0;     // value left in the status register
};

// The SCPU's answer to one WZ mailbox command.
struct WzOutcome {
    int busy_polls = 0;      // reads of the WZ busy word that give 1 before it clears; NEVER: stays 1
    uint32_t mailbox0_7 = 0; // error bits left in word 7
    uint32_t scratch4 = 0;   // error bits left in the firmware scratch register
};

// A command the SCPU received: the command word, its four arguments, the
// srcid selected when it was written and the SRAM chunks received before it.
struct Command {
    uint32_t word;
    uint32_t args[4];
    uint32_t srcid;
    size_t chunks_before;
};

struct WzCommand {
    uint32_t command;
    uint32_t argument;
};

// Words received through the SRAM data port after one write of the address register.
struct Chunk {
    uint32_t address;
    std::vector<uint32_t> words;
};

struct Board {
    // --- configuration, set by a test before it drives the device ---
    // The (write srcid, read srcid) pair under which a probe written to
    // MAILBOX0_1 reads back; under any other pair the probe reads 0.
    uint32_t srcid_write = 0;
    uint32_t srcid_read = 0;
    // Answer to every SCPU command, unless `outcomes` names its turn (1 = first).
    Outcome default_outcome;
    std::map<int, Outcome> outcomes;
    // Answer to every WZ command.
    WzOutcome wz_outcome;
    // Reads of the WZ busy word that give 1 before the first WZ command; NEVER: stays 1.
    int wz_idle_polls = 0;
    // After a warm reset (0x84 written to 0x3804): reads of the ready word
    // that give 0 before it reads 0x66 again; NEVER: training never ends.
    int training_polls = 0;
    // The register or memory access of this number (1 = the first since the
    // reset; sleeps are not counted) fails as a window that cannot be mapped
    // would, that access alone; 0: none fails.
    size_t fail_access = 0;

    // --- what the board saw ---
    size_t accesses = 0;  // register and memory accesses asked for, failed ones included
    std::vector<Access> trace;
    std::vector<Command> commands;
    std::vector<WzCommand> wz_commands;
    std::vector<Chunk> chunks;
    uint64_t clock_us = 0;

    // The register writes of the trace, in order, as (offset, value) accesses.
    std::vector<Access> writes() const;
    // Number of traced accesses of kind op at offset.
    size_t count(Op op, uint32_t offset) const;
    // The sleeps of the trace, in microseconds.
    std::vector<uint32_t> sleeps() const;
    // The image bytes received through the SRAM port, chunk after chunk.
    std::vector<unsigned char> sram_bytes() const;

    // --- model state (internal) ---
    struct Countdown {
        bool active = false;
        int remaining = 0;
        uint32_t done_value = 0;
    };
    Countdown busy;
    Countdown wz_busy;
    Countdown training;
    bool wz_idle_armed = false;
    bool probe_pending = false; // MAILBOX0_1 last written by the host
    uint32_t probe_srcid = 0;   // srcid selected at that write
};

// The one simulated board of the test process.
Board& board();
// Forgets configuration, trace and model state.
void reset();

// A chip of the given PCI device ID over fresh register and memory window
// files (sparse, zero-filled), with a QVDevice set up the way detection leaves
// it, the simulated board reset, the ready word preset to 0x66 and the log
// open on a file of its own.
class SimChip {
public:
    explicit SimChip(int device_id, uint32_t reg_size = 0x40000, uint32_t mem_size = 0x200800);
    ~SimChip();
    SimChip(const SimChip&) = delete;
    SimChip& operator=(const SimChip&) = delete;

    // Direct file access, not traced.
    void set_reg(uint32_t offset, uint32_t value);
    uint32_t reg(uint32_t offset) const;
    std::vector<unsigned char> memory(uint32_t start, uint32_t length) const;

    // The text logged so far.
    std::string log() const;
    // The same, with each local time that completes a "...time: " line
    // replaced by "<time>".
    std::string log_masked() const;
    // Log lines (without their line feed) that contain text.
    std::vector<std::string> log_lines_with(const std::string& text) const;

    std::string dir;
    QVDevice dev;
};

} // namespace sim
