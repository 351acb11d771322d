// Firmware transfer through the SRAM port and the memory window, and the board
// resets, driven against the simulated board.
#include <gtest/gtest.h>

#include <numeric>

#include <sys/mman.h>
#include <unistd.h>

#include "catalogue.h"
#include "board_map.h"
#include "sim_board.h"

using namespace board_map;
using sim::Access;
using sim::Op;
using sim::R;
using sim::S;
using sim::W;

namespace {

constexpr int ZK = 0x0001;
constexpr int JQ = 0x0007;
constexpr int WZ = 0x0210;


// Image bytes that differ from their neighbours, so a shifted or reordered
// copy shows.
std::vector<unsigned char> image_of(size_t length)
{
    std::vector<unsigned char> image(length);
    for (size_t i = 0; i < length; ++i)
        image[i] = static_cast<unsigned char>((i * 7 + i / 251 + 1) & 0xFF);
    return image;
}

// The image placed so that it ends exactly where an inaccessible page begins:
// reading a single byte past its end faults.
class GuardedImage {
public:
    explicit GuardedImage(const std::vector<unsigned char>& image)
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        pages_ = (image.size() + page_ - 1) / page_ + 1;
        base_ = static_cast<unsigned char*>(
            mmap(nullptr, pages_ * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED || mprotect(base_ + (pages_ - 1) * page_, page_, PROT_NONE) != 0)
            abort();
        data_ = base_ + (pages_ - 1) * page_ - image.size();
        std::copy(image.begin(), image.end(), data_);
    }
    ~GuardedImage() { munmap(base_, pages_ * page_); }
    unsigned char* data() { return data_; }

private:
    size_t page_ = 0;
    size_t pages_ = 0;
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
};

uint32_t le(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

std::vector<uint32_t> words_of(const unsigned char* bytes, size_t count)
{
    std::vector<uint32_t> out;
    for (size_t i = 0; i < count; i += 4)
        out.push_back(le(bytes + i));
    return out;
}

std::vector<uint32_t> command_words()
{
    std::vector<uint32_t> out;
    for (const sim::Command& c : sim::board().commands)
        out.push_back(c.word);
    return out;
}

// The trace without the mailbox handshake: what a transfer writes outside the
// SCPU mailbox block, its memory copies and its pauses.
std::vector<Access> outside_mailbox()
{
    std::vector<Access> out;
    for (const Access& a : sim::board().trace) {
        bool mailbox = a.offset >= REGG_SCPU__MAILBOX_CMD && a.offset <= REGG_SCPU__MAILBOX_SRCID;
        if (a.op != Op::RegRead && !(a.op == Op::RegWrite && mailbox))
            out.push_back(a);
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// SRAM port

TEST(SramTransfer, ZkChipSendsTwoChunksOf256BytesEachFollowedByTheCommand)
{
    sim::SimChip chip(ZK);
    chip.dev.wr_srcid = 1;  // as the srcid search left them
    chip.dev.rd_srcid = 0;
    std::vector<unsigned char> image = image_of(512);
    ASSERT_TRUE(chip.dev.UPGRADE_FW(true, image.data(), image.size()));

    const auto& chunks = sim::board().chunks;
    ASSERT_EQ(chunks.size(), 2u);
    for (size_t c = 0; c < 2; ++c) {
        EXPECT_EQ(chunks[c].address, SRAM_LOAD_ADDR_ZK);
        EXPECT_EQ(chunks[c].words, words_of(image.data() + 256 * c, 256));
    }
    EXPECT_EQ(command_words(), (std::vector<uint32_t>{0x200016, 0x200016}));
    EXPECT_EQ(sim::board().commands[0].chunks_before, 1u);
    EXPECT_EQ(sim::board().commands[1].chunks_before, 2u);
    for (const sim::Command& c : sim::board().commands) {
        EXPECT_EQ(std::vector<uint32_t>(c.args, c.args + 4), (std::vector<uint32_t>{0, 0, 0, 0}));
        EXPECT_EQ(c.srcid, 1u) << "written under the write srcid";
    }
    EXPECT_EQ(sim::board().count(Op::RegWrite, SCPU_SRAM_ADDR_REG), 2u) << "no remainder step";
    // The verdict is read once, after the last command's busy poll: srcid for
    // reading, then the result word.
    EXPECT_EQ(sim::board().count(Op::RegRead, REGG_SCPU__MAILBOX0_1), 1u);
    const auto& trace = sim::board().trace;
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(std::vector<Access>(trace.end() - 3, trace.end()),
              (std::vector<Access>{R(REGG_SCPU__MAILBOX_BUSY, 0), W(REGG_SCPU__MAILBOX_SRCID, 0),
                                   R(REGG_SCPU__MAILBOX0_1, 1)}));
}

TEST(SramTransfer, JqRemainderGoesAsWholeWordsWithZerosAfterTheLastByte)
{
    sim::SimChip chip(JQ);
    std::vector<unsigned char> image = image_of(1030);
    GuardedImage guarded(image);  // a read past byte 1029 would fault
    ASSERT_TRUE(chip.dev.UPGRADE_FW(true, guarded.data(), image.size()));

    const auto& chunks = sim::board().chunks;
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].address, SRAM_LOAD_ADDR_OTHER);
    EXPECT_EQ(chunks[0].words, words_of(image.data(), 1024));
    EXPECT_EQ(chunks[1].address, SRAM_LOAD_ADDR_OTHER);
    EXPECT_EQ(chunks[1].words, (std::vector<uint32_t>{le(&image[1024]), static_cast<uint32_t>(image[1028] | image[1029] << 8)}));
    EXPECT_EQ(command_words(), (std::vector<uint32_t>{0x406019, 0x406019}));
    EXPECT_EQ(sim::board().commands[1].chunks_before, 2u);
    for (const sim::Command& c : sim::board().commands)
        EXPECT_EQ(c.srcid, SRCID_DEFAULT) << "every chip but the ZK chip is written under the default srcid";
    const auto& trace = sim::board().trace;
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(std::vector<Access>(trace.end() - 3, trace.end()),
              (std::vector<Access>{R(REGG_SCPU__MAILBOX_BUSY, 0), W(REGG_SCPU__MAILBOX_SRCID, 0),
                                   R(REGG_SCPU__MAILBOX0_1, 1)}));
}

TEST(SramTransfer, ChunkCountRemainderAndParametersFollowTheChipAndLength)
{
    struct Case {
        int id;
        size_t length;
        size_t chunks;
        size_t data_writes;
        uint32_t address;
        uint32_t word;
        bool ok;
        size_t result_reads;  // the verdict of the last command, read once; none on the WZ chip
    } cases[] = {
        {ZK, 100, 1, 25, SRAM_LOAD_ADDR_ZK, (100u << 12) | 0x16, true, 1},  // below the chunk: remainder only
        {ZK, 257, 2, 65, SRAM_LOAD_ADDR_ZK, (257u << 12) | 0x16, true, 1},
        {JQ, 3, 1, 1, SRAM_LOAD_ADDR_OTHER, (3u << 12) | 0x19, true, 1},
        {WZ, 1024, 1, 256, SRAM_LOAD_ADDR_OTHER, (1024u << 12) | 0x19, true, 0},
        {WZ, 0, 0, 0, 0, 0, true, 0},
        // No command, so no verdict: nothing was taken.
        {ZK, 0, 0, 0, 0, 0, false, 0},
        {JQ, 0, 0, 0, 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(c.id);
        std::vector<unsigned char> image = image_of(c.length);
        GuardedImage guarded(image);
        EXPECT_EQ(chip.dev.UPGRADE_FW(true, guarded.data(), c.length), c.ok) << std::hex << c.id << " " << c.length;
        EXPECT_EQ(sim::board().chunks.size(), c.chunks) << c.length;
        EXPECT_EQ(sim::board().count(Op::RegWrite, SCPU_SRAM_DATA_REG), c.data_writes) << c.length;
        for (const sim::Chunk& chunk : sim::board().chunks)
            EXPECT_EQ(chunk.address, c.address);
        EXPECT_EQ(command_words(), std::vector<uint32_t>(c.chunks, c.word)) << c.length;
        EXPECT_EQ(sim::board().count(Op::RegRead, REGG_SCPU__MAILBOX0_1), c.result_reads) << std::hex << c.id;
        std::vector<unsigned char> got = sim::board().sram_bytes();
        ASSERT_GE(got.size(), c.length);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), got.begin()));
        EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(c.length), got.end(), [](unsigned char b) { return b == 0; }));
        if (c.length == 0) {
            EXPECT_TRUE(sim::board().trace.empty()) << "length 0 touches no register";
        }
    }
}

TEST(SramTransfer, AFailedCommandEndsTheTransfer)
{
    sim::SimChip chip(ZK);
    sim::board().outcomes[3].busy_polls = sim::NEVER;
    std::vector<unsigned char> image = image_of(1024);
    EXPECT_FALSE(chip.dev.UPGRADE_FW(true, image.data(), image.size()));
    EXPECT_EQ(sim::board().commands.size(), 3u);
    EXPECT_EQ(sim::board().chunks.size(), 3u) << "no chunk after the failed command";
    EXPECT_EQ(sim::board().count(Op::RegWrite, SCPU_SRAM_DATA_REG), 3u * 64);
    EXPECT_EQ(chip.log_lines_with("Mailbox: no respond.").size(), 1u);
}

// The SCPU's verdict on the whole image comes with the last command: its
// result word decides, as on the memory window; the results of the earlier
// commands are not read. The WZ chip's SRAM path reads no verdict.
TEST(SramTransfer, ResultOfTheLastCommandDecides)
{
    const std::string FATAL = "[    FATAL]  ";
    const std::string jq_flash = FATAL + "Error: read/write flash failure.";
    struct Case {
        const char* name;
        int id;
        size_t length;
        int failing;  // the command (1 = first) answered with result 5 and status bits; 0: none
        uint32_t status;
        bool ok;
        std::vector<std::string> fatal;  // the log's FATAL lines
    } cases[] = {
        {"ZK, whole chunks, last fails", ZK, 512, 2, 0x2000, false,
         {FATAL + "Check mailbox error: Write spi flash failure."}},
        {"ZK, remainder fails", ZK, 300, 2, 0x40000, false, {FATAL + "Check mailbox error: Read flash datas crc error."}},
        {"ZK, two status bits", ZK, 260, 2, 0x3000, false, {FATAL + "Error: unknown error."}},
        {"JQ, whole chunks, last fails", JQ, 2048, 2, 0x3000, false,
         {jq_flash, FATAL + "Check mailbox error: Erase spi flash failure.",
          FATAL + "Check mailbox error: Program spi flash failure."}},
        {"JQ, remainder fails", JQ, 1030, 2, 0x80000000, false, {jq_flash, FATAL + "Check mailbox error: General fail."}},
        {"ZK, earlier command fails", ZK, 512, 1, 0x2000, true, {}},
        {"JQ, earlier command fails", JQ, 1030, 1, 0x3000, true, {}},
        {"WZ, last fails", WZ, 2048, 2, 0x3000, true, {}},
        {"WZ, every command fails", WZ, 1030, -1, 0x3000, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimChip chip(c.id);
        chip.dev.rd_srcid = c.id == ZK ? 1 : 0;
        sim::Outcome failed;
        failed.result = 5;
        failed.status = c.status;
        if (c.failing > 0)
            sim::board().outcomes[c.failing] = failed;
        else if (c.failing < 0)
            sim::board().default_outcome = failed;
        std::vector<unsigned char> image = image_of(c.length);
        testing::internal::CaptureStderr();
        EXPECT_EQ(chip.dev.UPGRADE_FW(true, image.data(), image.size()), c.ok);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(sim::board().commands.size(), 2u);
        EXPECT_EQ(chip.log_lines_with(FATAL), c.fatal);

        // The last accesses: the last command's busy poll, then for the ZK and
        // JQ chips the verdict under the read srcid (and the status when it failed).
        std::vector<Access> tail = {R(REGG_SCPU__MAILBOX_BUSY, 0)};
        if (c.id != WZ) {
            tail.push_back(W(REGG_SCPU__MAILBOX_SRCID, chip.dev.rd_srcid));
            tail.push_back(R(REGG_SCPU__MAILBOX0_1, c.ok ? 1 : 5));
            if (!c.ok)
                tail.push_back(R(MAILBOX_SET_STATUS_REG, c.status));
        }
        const auto& trace = sim::board().trace;
        ASSERT_GE(trace.size(), tail.size());
        EXPECT_EQ(std::vector<Access>(trace.end() - static_cast<long>(tail.size()), trace.end()), tail);
        EXPECT_EQ(sim::board().count(Op::RegRead, REGG_SCPU__MAILBOX0_1), c.id == WZ ? 0u : 1u);
    }
}

// ---------------------------------------------------------------------------
// Memory window

TEST(MemoryTransfer, ZkChipEnablesWriteThroughBeforeEachOfTwoCopiesThenCommandsAndChecks)
{
    sim::SimChip chip(ZK);
    chip.dev.rd_srcid = 1;
    chip.set_reg(MEM_WRITE_THROUGH_REG, 0x12345678);
    std::vector<unsigned char> image = image_of(300);
    GuardedImage guarded(image);
    ASSERT_TRUE(chip.dev.UPGRADE_FW(false, guarded.data(), image.size()));

    const std::vector<Access> expected = {
        W(MEM_WRITE_THROUGH_REG, 0x1C345678), {Op::MemWrite, 0x800, 300},
        W(MEM_WRITE_THROUGH_REG, 0x1C345678), {Op::MemWrite, 0x800, 300},
        S(100000),
    };
    EXPECT_EQ(outside_mailbox(), expected);
    EXPECT_EQ(sim::board().count(Op::RegRead, MEM_WRITE_THROUGH_REG), 2u);
    EXPECT_EQ(command_words(), (std::vector<uint32_t>{(300u << 12) | 0x0B}));
    // The result check follows the command: srcid for reading, then the result word.
    const auto& trace = sim::board().trace;
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[trace.size() - 2], W(REGG_SCPU__MAILBOX_SRCID, 1));
    EXPECT_EQ(trace.back(), R(REGG_SCPU__MAILBOX0_1, 1));

    EXPECT_EQ(chip.memory(0x800, 300), image);
    EXPECT_EQ(chip.memory(0, 0x800), std::vector<unsigned char>(0x800, 0)) << "nothing before the image area";
    EXPECT_EQ(chip.log_lines_with("Enable memory write-through: ").size(), 2u);
    EXPECT_EQ(chip.log_lines_with("Function: PutData()(529): ").size(), 2u);
    EXPECT_NE(chip.log().find("[     Info]  Function: PutData()(529): \n[     Info]  Enable memory write-through: \n"),
              std::string::npos);
}

TEST(MemoryTransfer, JqChipCopiesTwiceWithoutWriteThrough)
{
    sim::SimChip chip(JQ);
    std::vector<unsigned char> image = image_of(0x3FFFF);
    ASSERT_TRUE(chip.dev.UPGRADE_FW(false, image.data(), image.size()));
    EXPECT_EQ(outside_mailbox(), (std::vector<Access>{{Op::MemWrite, 0x800, 0x3FFFF}, {Op::MemWrite, 0x800, 0x3FFFF},
                                                     S(100000)}));
    EXPECT_EQ(sim::board().count(Op::RegRead, MEM_WRITE_THROUGH_REG), 0u);
    EXPECT_EQ(command_words(), (std::vector<uint32_t>{0x3FFFF00B}));
    EXPECT_EQ(chip.memory(0x800, 0x3FFFF), image);
}

TEST(MemoryTransfer, GetDataReadsTheImageAreaBack)
{
    sim::SimChip chip(JQ);
    std::vector<unsigned char> image = image_of(4096);
    ASSERT_TRUE(chip.dev.PutData(image.data(), 4096));
    std::vector<unsigned char> back(4096);
    EXPECT_TRUE(chip.dev.GetData(back.data(), 4096));
    EXPECT_EQ(back, image);
    EXPECT_TRUE(chip.dev.CheckMemory(4096, image.data()));
    EXPECT_EQ(sim::board().trace.back(), (Access{Op::MemRead, 0x800, 4096}));
}

TEST(MemoryTransfer, OutcomeIsThatOfTheMailboxSteps)
{
    struct Case {
        int id;
        sim::Outcome outcome;
        bool ok;
        const char* logged;
    } cases[] = {
        {ZK, {0, 0, 0, 0x400}, false, "Check mailbox error: "},
        {JQ, {0, 0, 3, 0}, false, "Error: wrong crc."},
        {JQ, {sim::NEVER, 0, 1, 0}, false, "Mailbox: no respond."},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(c.id);
        sim::board().default_outcome = c.outcome;
        std::vector<unsigned char> image = image_of(64);
        EXPECT_EQ(chip.dev.UPGRADE_FW(false, image.data(), image.size()), c.ok);
        EXPECT_EQ(chip.log_lines_with(c.logged).size(), 1u) << c.logged;
    }
}

TEST(MemoryTransfer, ACopyThatCannotBeMadeEndsTheTransferBeforeAnyCommand)
{
    // A memory window too small to hold the image at byte 0x800.
    for (int id : {ZK, JQ, WZ}) {
        sim::SimChip chip(id, 0x40000, 0x900);
        std::vector<unsigned char> image = image_of(0x200);
        EXPECT_FALSE(chip.dev.UPGRADE_FW(false, image.data(), image.size())) << id;
        EXPECT_EQ(sim::board().count(Op::MemWrite, 0x800), 0u) << id;
        EXPECT_EQ(chip.log_lines_with("Map device memory failed!").size(), 1u) << id;
        EXPECT_TRUE(sim::board().commands.empty()) << id;
        EXPECT_TRUE(sim::board().wz_commands.empty()) << id;
    }
}

TEST(MemoryTransfer, WzChipCopiesOnceAndUsesTheWzMailbox)
{
    struct Case {
        uint32_t mailbox0_7;
        uint32_t scratch4;
        bool ok;
        std::string out;
    } cases[] = {
        {0, 0, true, ""},
        {0x100, 0, false, "Mailbox0_7 error: data length error.\n"},
        {0, 0x40000, false, "FW scratch4 error: spi flash erase error.\n"},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(WZ);
        sim::board().wz_outcome.mailbox0_7 = c.mailbox0_7;
        sim::board().wz_outcome.scratch4 = c.scratch4;
        std::vector<unsigned char> image = image_of(1000);
        testing::internal::CaptureStdout();
        EXPECT_EQ(chip.dev.UPGRADE_FW(false, image.data(), image.size()), c.ok);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(sim::board().count(Op::MemWrite, 0x800), 1u);
        ASSERT_EQ(sim::board().wz_commands.size(), 1u);
        EXPECT_EQ(sim::board().wz_commands[0].command, 11u);
        EXPECT_EQ(sim::board().wz_commands[0].argument, 1000u);
        EXPECT_TRUE(sim::board().commands.empty()) << "no SCPU mailbox command for the WZ chip";
        EXPECT_EQ(chip.memory(0x800, 1000), image);
    }
}

TEST(Transfer, ImageLongerThanTheLengthFieldIsRefusedBeforeAnyAccess)
{
    for (int id : {ZK, JQ, WZ}) {
        for (bool sram : {true, false}) {
            sim::SimChip chip(id);
            std::vector<unsigned char> image = image_of(0x40000);
            testing::internal::CaptureStderr();
            EXPECT_FALSE(chip.dev.UPGRADE_FW(sram, image.data(), image.size()));
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_TRUE(sim::board().trace.empty());
            EXPECT_NE(err.find("262144 bytes"), std::string::npos) << err;
            EXPECT_EQ(chip.log_lines_with("[    FATAL]  Error: firmware image of 262144 bytes").size(), 1u);
        }
    }
}

// ---------------------------------------------------------------------------
// Resets

TEST(ZKWarmReset, SendsFourCommandsThenTheRegisterWritesWithTheirPauses)
{
    sim::SimChip chip(ZK);
    chip.dev.ZKWarmReset();
    const auto& commands = sim::board().commands;
    ASSERT_EQ(command_words(), (std::vector<uint32_t>{0x400F, 0x4005, 0x4004, 0x10000}));
    EXPECT_EQ(std::vector<uint32_t>(commands[3].args, commands[3].args + 4),
              (std::vector<uint32_t>{0, 0, 0, 0x8006804D}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(std::vector<uint32_t>(commands[i].args, commands[i].args + 4), (std::vector<uint32_t>{0, 0, 0, 0}));

    const std::vector<Access> expected = {
        S(100000), S(2000),  S(100000), S(100000), S(100000), S(10000),
        W(0x3804, 0x84),     S(10000),  W(0x4A00, 0x20002),   S(10000),
        W(0x4200, 0x2),      S(10000),  W(0x6200, 0x0),       S(10000),
        W(0x5200, 0x0),      S(10000),  W(0x5200, 0x1010),    S(10000),
        W(0x4200, 0x817),    S(10000),  W(0x4A00, 0x2081F),   S(10000),
        W(0x6200, 0x1010),   S(20000),
    };
    EXPECT_EQ(outside_mailbox(), expected);
    EXPECT_EQ(sim::board().clock_us, 512000u);
}

TEST(ZKWarmReset, RefusedCommandsDoNotStopTheSequence)
{
    sim::SimChip chip(ZK);
    chip.set_reg(REGG_SCPU__MAILBOX_READY, 0);
    chip.dev.ZKWarmReset();
    EXPECT_TRUE(sim::board().commands.empty());
    EXPECT_EQ(chip.log_lines_with("Mailbox not ready").size(), 4u);
    EXPECT_EQ(sim::board().writes().size(), 9u);
    EXPECT_EQ(sim::board().clock_us, 112000u);
}

TEST(JQWarmReset, FourteenWritesEachFollowedByTenMilliseconds)
{
    sim::SimChip chip(JQ);
    chip.dev.JQWarmReset();
    const std::pair<uint32_t, uint32_t> writes[] = {
        {0x3804, 0x84}, {0x4A00, 0x20003}, {0x4A0C, 0x20}, {0x4A20, 0x0}, {0x4200, 0x3},
        {0x6200, 0x0},  {0x5200, 0x0},     {0x6E00, 0x0},  {0x6A00, 0x0}, {0x5A00, 0x0},
        {0x5E00, 0x0},  {0x4200, 0x817},   {0x4A00, 0x2081F}, {0x6200, 0x1010},
    };
    std::vector<Access> expected;
    for (const auto& w : writes) {
        expected.push_back(W(w.first, w.second));
        expected.push_back(S(10000));
    }
    EXPECT_EQ(sim::board().trace, expected);
    EXPECT_TRUE(sim::board().commands.empty());
}

TEST(ResetDevice, ZkChipWaitsForTheEndOfMemoryTraining)
{
    struct Case {
        int training_polls;
        uint32_t status;
        bool ok;
        size_t polls;
        const char* fatal;
    } cases[] = {
        {0, 0, true, 1, nullptr},
        {99, 0, true, 100, nullptr},
        {sim::NEVER, 0x2, false, 100, "[    FATAL]  Wrong firmware, please check!"},
        {sim::NEVER, 0x0, false, 100, nullptr},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(ZK);
        sim::board().training_polls = c.training_polls;
        sim::board().default_outcome.status = c.status;  // left by the reset's commands
        EXPECT_EQ(chip.dev.ResetDevice(), c.ok) << c.training_polls;

        // After the warm reset's last pause: the polls, then one status read.
        const auto& trace = sim::board().trace;
        auto last_write = std::find(trace.begin(), trace.end(), W(0x6200, 0x1010));
        ASSERT_NE(last_write, trace.end());
        std::vector<Access> expected = {S(20000)};
        for (size_t i = 0; i < c.polls; ++i) {
            expected.push_back(S(30000));
            expected.push_back(R(REGG_SCPU__MAILBOX_READY, c.ok && i + 1 == c.polls ? 0x66 : 0));
        }
        expected.push_back(R(MAILBOX_SET_STATUS_REG, c.status));
        EXPECT_EQ(std::vector<Access>(last_write + 1, trace.end()), expected) << c.training_polls;

        std::string log = chip.log_masked();
        const std::string wait = "[     Info]  Function: ResetDevice()(498): \n"
                                 "[     Info]  Wait until mc trainning done, starting time: <time>\n"
                                 "[     Info]  Wait until mc trainning done, end time: <time>\n";
        EXPECT_NE(log.find(wait), std::string::npos);
        if (c.ok) {
            const std::string last = "[     Info]  ZK610 warm reset is success...";
            ASSERT_GE(log.size(), last.size());
            EXPECT_EQ(log.substr(log.size() - last.size()), last) << "the line ends without a line feed";
        } else {
            EXPECT_EQ(log.find("success"), std::string::npos);
            EXPECT_EQ(chip.log_lines_with("[    FATAL]  Wrong").size(), c.fatal ? 1u : 0u);
        }
    }
}

TEST(ResetDevice, JqAndWzChipsNeedNoReset)
{
    for (int id : {JQ, 0x0002, WZ}) {
        sim::SimChip chip(id);
        EXPECT_TRUE(chip.dev.ResetDevice());
        EXPECT_TRUE(sim::board().trace.empty());
        EXPECT_EQ(chip.log(), "");
    }
}

TEST(ResetDevice, ChipOutsideTheGroupsPollsWithoutAResetAndReportsOfflineStatus)
{
    sim::SimChip chip(0x0004);  // reg_base stays 0: the mailbox words sit at their block offsets
    chip.set_reg(MAILBOX_SET_STATUS_REG - SCPU_MAILBOX_BLOCK, 0x1);
    EXPECT_FALSE(chip.dev.ResetDevice());
    EXPECT_EQ(sim::board().count(Op::RegRead, REGG_SCPU__MAILBOX_READY - SCPU_MAILBOX_BLOCK), 100u);
    EXPECT_TRUE(sim::board().writes().empty());
    EXPECT_EQ(chip.log_lines_with("[    FATAL]  Device is offline, please reboot system.!").size(), 1u);
}

// ---------------------------------------------------------------------------
// Lost accesses: a whole upgrade of one board (mailbox set-up, transfer and
// reset, as the upgrade run chains them) with one register or memory access
// failing, each access of the healthy run in turn. None of these runs may end
// with the board counted as upgraded.

namespace {

struct LostAccessCase {
    const char* name;
    int id;
    bool sram;
    size_t length;  // spans three SRAM chunks: two whole ones and a remainder
};

void PrintTo(const LostAccessCase& c, std::ostream* out) { *out << c.name; }

bool upgrade_board(QVDevice& dev, bool sram, std::vector<unsigned char>& image)
{
    return dev.InitMailbox() && dev.UPGRADE_FW(sram, image.data(), image.size()) && dev.ResetDevice();
}

class LostAccess : public testing::TestWithParam<LostAccessCase> {};

} // namespace

TEST_P(LostAccess, NoSingleLostAccessEndsInAnUpgradedBoard)
{
    const LostAccessCase& c = GetParam();
    std::vector<unsigned char> image = image_of(c.length);
    size_t total = 0;
    {
        sim::SimChip chip(c.id);
        sim::board().srcid_write = 1;  // the ZK chip's srcid search misses twice first
        ASSERT_TRUE(upgrade_board(chip.dev, c.sram, image));
        total = sim::board().accesses;
        if (c.sram) {
            ASSERT_EQ(sim::board().chunks.size(), 3u);
        }
    }
    for (size_t n = 1; n <= total; ++n) {
        sim::SimChip chip(c.id);
        sim::board().srcid_write = 1;
        sim::board().fail_access = n;
        EXPECT_FALSE(upgrade_board(chip.dev, c.sram, image)) << "access " << n << " of " << total;
        EXPECT_EQ(chip.dev.FailedAccesses(), 1u) << "access " << n << " of " << total;
    }
}

INSTANTIATE_TEST_SUITE_P(GroupsAndPorts, LostAccess,
                         testing::Values(LostAccessCase{"ZkSram", ZK, true, 2 * 256 + 10},
                                         LostAccessCase{"ZkMemory", ZK, false, 2 * 256 + 10},
                                         LostAccessCase{"JqSram", JQ, true, 2 * 1024 + 6},
                                         LostAccessCase{"JqMemory", JQ, false, 2 * 1024 + 6},
                                         LostAccessCase{"WzSram", WZ, true, 2 * 1024 + 6},
                                         LostAccessCase{"WzMemory", WZ, false, 2 * 1024 + 6}),
                         [](const testing::TestParamInfo<LostAccessCase>& info) {
                             return std::string(info.param.name);
                         });
