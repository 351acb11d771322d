// The simulated board behind the hardware window functions.
#include "sim_board.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board_map.h"
#include "hw_access.h"
#include "logger.h"

using namespace board_map;

namespace sim {

namespace {

Board the_board;

// Every test starts with a board that has seen nothing, also one that never
// makes a SimChip (detection through the fake system drives the same model),
// so a whole test program runs as each of its tests does alone.
class ResetBeforeEachTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { the_board = Board(); }
};

const bool reset_registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetBeforeEachTest);
    return true;
}();

// The register window's length is its size taken as an unsigned 32-bit number.
bool register_inside(int fd, int offset)
{
    uint64_t size = 0;
    return hw_window_size(fd, size) && hw_register_fits(hw_register_window_length(size), offset);
}

uint32_t file_word(int fd, uint32_t offset)
{
    unsigned char bytes[4] = {0, 0, 0, 0};
    if (pread(fd, bytes, 4, offset) != 4)
        return 0;
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void put_file_word(int fd, uint32_t offset, uint32_t value)
{
    unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                              static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    if (pwrite(fd, bytes, 4, offset) != 4)
        throw std::runtime_error("simulated board: register file write failed");
}

// One poll of a word that reads busy_value until its countdown runs out.
void tick(Board::Countdown& countdown, int fd, uint32_t offset, uint32_t busy_value)
{
    if (!countdown.active)
        return;
    if (countdown.remaining == 0) {
        put_file_word(fd, offset, countdown.done_value);
        countdown.active = false;
        return;
    }
    put_file_word(fd, offset, busy_value);
    if (countdown.remaining > 0)
        --countdown.remaining;
}

void start(Board::Countdown& countdown, int polls, uint32_t done_value)
{
    countdown.active = true;
    countdown.remaining = polls;
    countdown.done_value = done_value;
}

void scpu_command(Board& b, int fd, uint32_t word)
{
    int turn = static_cast<int>(b.commands.size()) + 1;
    auto it = b.outcomes.find(turn);
    const Outcome& outcome = it != b.outcomes.end() ? it->second : b.default_outcome;
    Command command{word,
                    {file_word(fd, REGG_SCPU__MAILBOX0_1), file_word(fd, REGG_SCPU__MAILBOX0_2),
                     file_word(fd, REGG_SCPU__MAILBOX0_3), file_word(fd, REGG_SCPU__MAILBOX0_4)},
                    file_word(fd, REGG_SCPU__MAILBOX_SRCID),
                    b.chunks.size()};
    b.commands.push_back(command);
    put_file_word(fd, REGG_SCPU__MAILBOX0_1, outcome.result);
    put_file_word(fd, MAILBOX_SET_STATUS_REG, outcome.status);
    b.probe_pending = false;
    put_file_word(fd, REGG_SCPU__MAILBOX_BUSY, MAILBOX_BUSY_VALUE);
    start(b.busy, outcome.busy_polls, outcome.done_value);
}

void wz_command(Board& b, int fd, uint32_t command)
{
    b.wz_commands.push_back({command, file_word(fd, WZ_MAILBOX_ARG)});
    put_file_word(fd, Mailbox0_7, b.wz_outcome.mailbox0_7);
    put_file_word(fd, FW_SCRATCH4_REG, b.wz_outcome.scratch4);
    b.wz_idle_armed = true;
    put_file_word(fd, WZ_MAILBOX_BUSY, MAILBOX_BUSY_VALUE);
    start(b.wz_busy, b.wz_outcome.busy_polls, 0);
}

// What the board does before the host sees a register read.
uint32_t on_read(Board& b, int fd, uint32_t offset)
{
    switch (offset) {
    case REGG_SCPU__MAILBOX_BUSY:
        tick(b.busy, fd, offset, MAILBOX_BUSY_VALUE);
        break;
    case WZ_MAILBOX_BUSY:
        if (!b.wz_idle_armed) {
            b.wz_idle_armed = true;
            if (b.wz_idle_polls != 0) {
                put_file_word(fd, offset, MAILBOX_BUSY_VALUE);
                start(b.wz_busy, b.wz_idle_polls, 0);
            }
        }
        tick(b.wz_busy, fd, offset, MAILBOX_BUSY_VALUE);
        break;
    case REGG_SCPU__MAILBOX_READY:
        tick(b.training, fd, offset, 0);
        break;
    case REGG_SCPU__MAILBOX0_1:
        // A probe written by the host reads back only under the board's srcid pair.
        if (b.probe_pending && !(b.probe_srcid == b.srcid_write &&
                                 file_word(fd, REGG_SCPU__MAILBOX_SRCID) == b.srcid_read))
            return 0;
        break;
    default:
        break;
    }
    return file_word(fd, offset);
}

// What the board does after a register write.
void on_write(Board& b, int fd, uint32_t offset, uint32_t value)
{
    switch (offset) {
    case REGG_SCPU__MAILBOX0_1:
        b.probe_pending = true;
        b.probe_srcid = file_word(fd, REGG_SCPU__MAILBOX_SRCID);
        break;
    case REGG_SCPU__MAILBOX_CMD:
        scpu_command(b, fd, value);
        break;
    case SCPU_SRAM_ADDR_REG:
        b.chunks.push_back({value, {}});
        break;
    case SCPU_SRAM_DATA_REG:
        if (b.chunks.empty())
            b.chunks.push_back({0, {}});
        b.chunks.back().words.push_back(value);
        break;
    case WZ_MAILBOX_CMD:
        wz_command(b, fd, value);
        break;
    case WARM_RESET_3804:
        if (value == WARM_RESET_START_VALUE) {
            put_file_word(fd, REGG_SCPU__MAILBOX_READY, 0);
            start(b.training, b.training_polls, MAILBOX_READY_VALUE);
        }
        break;
    default:
        break;
    }
}

// Counts one register or memory access; true when it is the one set to fail.
bool injected_failure()
{
    Board& b = the_board;
    ++b.accesses;
    return b.accesses == b.fail_access;
}

bool in_a_chip_group(int device_id)
{
    if (device_id == ZK_CHIP_ID || device_id == WZ_CHIP_ID)
        return true;
    for (int id : JQ_CHIP_IDS)
        if (device_id == id)
            return true;
    return false;
}

bool memory_inside(int fd, uint32_t map_length, uint32_t start, uint32_t length)
{
    uint64_t size = 0;
    return hw_window_size(fd, size) && hw_memory_fits(size, map_length, start, length);
}

} // namespace

Board& board() { return the_board; }

void reset() { the_board = Board(); }

std::vector<Access> Board::writes() const
{
    std::vector<Access> out;
    for (const Access& a : trace)
        if (a.op == Op::RegWrite)
            out.push_back(a);
    return out;
}

size_t Board::count(Op op, uint32_t offset) const
{
    size_t n = 0;
    for (const Access& a : trace)
        if (a.op == op && a.offset == offset)
            ++n;
    return n;
}

std::vector<uint32_t> Board::sleeps() const
{
    std::vector<uint32_t> out;
    for (const Access& a : trace)
        if (a.op == Op::Sleep)
            out.push_back(a.value);
    return out;
}

std::vector<unsigned char> Board::sram_bytes() const
{
    std::vector<unsigned char> out;
    for (const Chunk& c : chunks)
        for (uint32_t w : c.words)
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<unsigned char>(w >> (8 * i)));
    return out;
}

// ---------------------------------------------------------------------------

SimChip::SimChip(int device_id, uint32_t reg_size, uint32_t mem_size) : dev("0000:01:00.0")
{
    char pattern[] = "/tmp/qvsim.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("simulated board: no scratch directory");
    dir = pattern;
    reset();

    dev.res2_path = dir + "/resource2";
    dev.res0_path = dir + "/resource0";
    dev.reg_fd = open(dev.res2_path.c_str(), O_RDWR | O_CREAT, 0600);
    dev.mem_fd = open(dev.res0_path.c_str(), O_RDWR | O_CREAT, 0600);
    if (dev.reg_fd < 0 || dev.mem_fd < 0 || ftruncate(dev.reg_fd, reg_size) != 0 ||
        ftruncate(dev.mem_fd, mem_size) != 0)
        throw std::runtime_error("simulated board: window files not made");
    dev.pci_device_id = device_id;
    if (in_a_chip_group(device_id))
        dev.reg_base = SCPU_MAILBOX_BLOCK;
    if (reg_size >= REGG_SCPU__MAILBOX_READY + 4)
        set_reg(REGG_SCPU__MAILBOX_READY, MAILBOX_READY_VALUE);

    qvlogger::init((dir + "/qvfw-tool.log").c_str());
}

SimChip::~SimChip()
{
    if (qvlogger::fp_ != nullptr) {
        fclose(qvlogger::fp_);
        qvlogger::fp_ = nullptr;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void SimChip::set_reg(uint32_t offset, uint32_t value) { put_file_word(dev.reg_fd, offset, value); }

uint32_t SimChip::reg(uint32_t offset) const { return file_word(dev.reg_fd, offset); }

std::vector<unsigned char> SimChip::memory(uint32_t start, uint32_t length) const
{
    std::vector<unsigned char> bytes(length);
    if (length != 0 && pread(dev.mem_fd, bytes.data(), length, start) != static_cast<ssize_t>(length))
        throw std::runtime_error("simulated board: memory file read failed");
    return bytes;
}

std::string SimChip::log() const
{
    if (qvlogger::fp_ != nullptr)
        fflush(qvlogger::fp_);
    std::ifstream in(dir + "/qvfw-tool.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string SimChip::log_masked() const
{
    static const std::regex time_stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \n)");
    return std::regex_replace(log(), time_stamp, "<time>\n");
}

std::vector<std::string> SimChip::log_lines_with(const std::string& text) const
{
    std::vector<std::string> out;
    std::istringstream in(log());
    std::string line;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos)
            out.push_back(line);
    return out;
}

} // namespace sim

// ---------------------------------------------------------------------------
// The hardware window functions, served by the simulated board.

bool hw_reg_read32(int fd, int offset, uint32_t& value)
{
    if (sim::injected_failure() || !sim::register_inside(fd, offset))
        return false;
    sim::Board& b = sim::board();
    value = sim::on_read(b, fd, static_cast<uint32_t>(offset));
    b.trace.push_back({sim::Op::RegRead, static_cast<uint32_t>(offset), value});
    return true;
}

bool hw_reg_write32(int fd, int offset, uint32_t value)
{
    if (sim::injected_failure() || !sim::register_inside(fd, offset))
        return false;
    sim::Board& b = sim::board();
    sim::put_file_word(fd, static_cast<uint32_t>(offset), value);
    b.trace.push_back({sim::Op::RegWrite, static_cast<uint32_t>(offset), value});
    sim::on_write(b, fd, static_cast<uint32_t>(offset), value);
    return true;
}

bool hw_mem_write(int fd, uint32_t map_length, uint32_t start, const unsigned char* source, uint32_t length)
{
    if (sim::injected_failure() || !sim::memory_inside(fd, map_length, start, length))
        return false;
    if (length != 0 && pwrite(fd, source, length, start) != static_cast<ssize_t>(length))
        throw std::runtime_error("simulated board: memory file write failed");
    sim::board().trace.push_back({sim::Op::MemWrite, start, length});
    return true;
}

bool hw_mem_read(int fd, uint32_t map_length, uint32_t start, unsigned char* destination, uint32_t length)
{
    if (sim::injected_failure() || !sim::memory_inside(fd, map_length, start, length))
        return false;
    if (length != 0 && pread(fd, destination, length, start) != static_cast<ssize_t>(length))
        throw std::runtime_error("simulated board: memory file read failed");
    sim::board().trace.push_back({sim::Op::MemRead, start, length});
    return true;
}

void hw_sleep_us(unsigned int microseconds)
{
    sim::Board& b = sim::board();
    b.trace.push_back({sim::Op::Sleep, 0, microseconds});
    b.clock_us += microseconds;
}
