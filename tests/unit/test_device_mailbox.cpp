// The SCPU mailbox and the WZ mailbox, driven against the simulated board and
// asserted on its access trace.
#include <gtest/gtest.h>

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
constexpr int JQ = 0x0003;
constexpr int WZ = 0x0210;


std::vector<Access> trace() { return sim::board().trace; }

std::string text_of(const StatusTable& table, uint32_t key)
{
    const char* text = table.find(key);
    return text != nullptr ? text : "<missing row>";
}

const std::string INFO = "[     Info]  ";
const std::string FATAL = "[    FATAL]  ";

} // namespace

// ---------------------------------------------------------------------------
// srcid search

TEST(InitMailbox, ZkChipFindsThePairOnTheThirdTryAndClearsTheProbeAfterEachMiss)
{
    sim::SimChip chip(ZK);
    sim::board().srcid_write = 1;
    sim::board().srcid_read = 0;
    ASSERT_TRUE(chip.dev.InitMailbox());
    EXPECT_EQ(chip.dev.wr_srcid, 1u);
    EXPECT_EQ(chip.dev.rd_srcid, 0u);

    const uint32_t SRC = REGG_SCPU__MAILBOX_SRCID, MB1 = REGG_SCPU__MAILBOX0_1, P = SRCID_PROBE_VALUE;
    const std::vector<Access> expected = {
        W(SRC, 0), W(MB1, P), W(SRC, 0), R(MB1, 0), W(SRC, 0), W(MB1, 0),  // (0, 0)
        W(SRC, 0), W(MB1, P), W(SRC, 1), R(MB1, 0), W(SRC, 0), W(MB1, 0),  // (0, 1)
        W(SRC, 1), W(MB1, P), W(SRC, 0), R(MB1, P),                        // (1, 0)
    };
    EXPECT_EQ(trace(), expected);
    EXPECT_EQ(chip.log(), "");
}

TEST(InitMailbox, PairsAreTriedInOrderUntilOneReadsBack)
{
    struct Case {
        uint32_t board_write, board_read;
        bool found;
        size_t accesses;
        uint32_t wr, rd;
    } cases[] = {
        {0, 0, true, 4, 0, 0},
        {0, 1, true, 10, 0, 1},
        {1, 1, true, 22, 1, 1},
        {2, 2, false, 24, 1, 1},  // no pair reads back
    };
    for (const Case& c : cases) {
        sim::SimChip chip(ZK);
        sim::board().srcid_write = c.board_write;
        sim::board().srcid_read = c.board_read;
        testing::internal::CaptureStdout();
        EXPECT_EQ(chip.dev.InitMailbox(), c.found);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.found ? "" : "Error: cannot find the proper srcid for mailbox\n");
        EXPECT_EQ(trace().size(), c.accesses);
        EXPECT_EQ(chip.dev.wr_srcid, c.wr);
        EXPECT_EQ(chip.dev.rd_srcid, c.rd);
        EXPECT_EQ(chip.log(), "") << "the probe writes nothing to the log";
    }
}

TEST(InitMailbox, JqAndWzChipsNeedNoSearch)
{
    for (int id : {JQ, WZ}) {
        sim::SimChip chip(id);
        sim::board().srcid_write = 2;  // a probe would never read back
        EXPECT_TRUE(chip.dev.InitMailbox());
        EXPECT_TRUE(trace().empty());
        EXPECT_EQ(chip.dev.wr_srcid, 0u);
        EXPECT_EQ(chip.dev.rd_srcid, 0u);
    }
}

// ---------------------------------------------------------------------------
// SetMailbox

TEST(SetMailbox, ReadyWordOtherThan0x66RefusesWithoutWriting)
{
    struct Case {
        uint32_t status;
        std::string log;
    } cases[] = {
        {0x0, FATAL + "Mailbox not ready, readReg addr: REGG_SCPU__MAILBOX_READY, readReg value is: 0x65 \n"},
        {0x1, FATAL + "Mailbox not ready, readReg addr: REGG_SCPU__MAILBOX_READY, readReg value is: 0x65 \n" +
                  FATAL + "QVGPU is offline. \nReadReg addr: MAILBOX_SET_STATUS_REG, readReg value is: 0x1 \n"},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(JQ);
        chip.set_reg(REGG_SCPU__MAILBOX_READY, 0x65);
        chip.set_reg(MAILBOX_SET_STATUS_REG, c.status);
        EXPECT_FALSE(chip.dev.SetMailbox(0x1234, 1, 2, 3, 4));
        EXPECT_EQ(trace(), (std::vector<Access>{R(REGG_SCPU__MAILBOX_READY, 0x65),
                                                R(MAILBOX_SET_STATUS_REG, c.status)}));
        EXPECT_TRUE(sim::board().commands.empty());
        EXPECT_EQ(chip.log(), INFO + "Function: SetMailbox()(422): \n" + INFO + "Set mailbox... \n" + c.log);
    }
}

TEST(SetMailbox, WritesSrcidArgumentsThenCommandAndEndsAtTheFirstPollThatIsNotBusy)
{
    struct Case {
        int id;
        uint32_t wr_srcid;
        uint32_t srcid_written;
        uint32_t done_value;
    } cases[] = {
        {JQ, 1, SRCID_DEFAULT, 0},
        {WZ, 0, SRCID_DEFAULT, 2},
        {ZK, 1, 1, 0},
        {ZK, 0, 0, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(c.id);
        chip.set_reg(MAILBOX_SET_STATUS_REG, 0x80);  // a status beside a ready word does not stop a command
        chip.dev.wr_srcid = c.wr_srcid;
        sim::board().default_outcome.done_value = c.done_value;
        ASSERT_TRUE(chip.dev.SetMailbox(0xABC, 0x11, 0x22, 0x33, 0x44));
        const std::vector<Access> expected = {
            R(REGG_SCPU__MAILBOX_READY, 0x66), W(REGG_SCPU__MAILBOX_SRCID, c.srcid_written),
            W(REGG_SCPU__MAILBOX0_1, 0x11),    W(REGG_SCPU__MAILBOX0_2, 0x22),
            W(REGG_SCPU__MAILBOX0_3, 0x33),    W(REGG_SCPU__MAILBOX0_4, 0x44),
            W(REGG_SCPU__MAILBOX_CMD, 0xABC),  S(100000),
            R(REGG_SCPU__MAILBOX_BUSY, c.done_value),
        };
        EXPECT_EQ(trace(), expected) << std::hex << c.id;
        EXPECT_EQ(sim::board().clock_us, 100000u);
        EXPECT_EQ(chip.log_masked(), INFO + "Function: SetMailbox()(422): \n" + INFO + "Set mailbox... \n" + INFO +
                                         "Function: SetMailbox()(435): \n" + INFO + "Write mailbox... \n" + INFO +
                                         "Wait Mailbox becomes ready, starting time: <time>\n" + INFO +
                                         "Wait Mailbox becomes ready, end time: <time>\n");
    }
}

TEST(SetMailbox, BusyForTwoHundredPollsTimesOut)
{
    sim::SimChip chip(JQ);
    sim::board().default_outcome.busy_polls = sim::NEVER;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(chip.dev.SetMailbox(0x19, 0, 0, 0, 0));
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(sim::board().count(Op::RegRead, REGG_SCPU__MAILBOX_BUSY), 200u);
    EXPECT_EQ(sim::board().sleeps(), std::vector<uint32_t>(200, 100000));
    EXPECT_EQ(sim::board().clock_us, 20000000u);
    EXPECT_EQ(err, "Mailbox: no respond.\nWait Mailbox becomes ready, end time: ");
    const std::string log = chip.log_masked();
    const std::string tail = INFO + "Wait Mailbox becomes ready, starting time: <time>\n" + FATAL +
                             "Mailbox: no respond.\n" + FATAL + "Wait Mailbox becomes ready, end time: <time>\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST(SetMailbox, BusyClearingAtTheLastPollStillSucceeds)
{
    sim::SimChip chip(JQ);
    sim::board().default_outcome.busy_polls = 199;
    EXPECT_TRUE(chip.dev.SetMailbox(0x19, 0, 0, 0, 0));
    EXPECT_EQ(sim::board().count(Op::RegRead, REGG_SCPU__MAILBOX_BUSY), 200u);
    EXPECT_TRUE(chip.log_lines_with("FATAL").empty());
}

// ---------------------------------------------------------------------------
// CheckMailbox

TEST(CheckMailbox, ResultOneSucceedsWithoutReadingTheStatus)
{
    sim::SimChip chip(JQ);
    chip.set_reg(REGG_SCPU__MAILBOX0_1, 1);
    chip.set_reg(MAILBOX_SET_STATUS_REG, 0xFFFFFFFF);
    EXPECT_TRUE(chip.dev.CheckMailbox());
    EXPECT_EQ(trace(), (std::vector<Access>{W(REGG_SCPU__MAILBOX_SRCID, 0), R(REGG_SCPU__MAILBOX0_1, 1)}));
    EXPECT_EQ(chip.log(), INFO + "Function: CheckMailbox()(257): \n" + INFO +
                              "Read mailbox to get firmware status \n" + INFO +
                              "readReg addr: REGG_SCPU__MAILBOX0_1, readReg value is: 0x1 \n");
}

TEST(CheckMailbox, FailedResultIsDecodedByChipGroup)
{
    const std::string head = INFO + "Function: CheckMailbox()(257): \n" + INFO + "Read mailbox to get firmware status \n";
    auto read_lines = [](uint32_t result, uint32_t status) {
        char text[200];
        snprintf(text, sizeof(text),
                 "[     Info]  readReg addr: REGG_SCPU__MAILBOX0_1, readReg value is: 0x%x \n"
                 "[     Info]  readReg addr: MAILBOX_SET_STATUS_REG, readReg value is: 0x%x \n",
                 result, status);
        return std::string(text);
    };
    const std::string jq = INFO + "Function: CheckMailbox()(276): \n";
    struct Case {
        int id;
        uint32_t result;
        uint32_t status;
        std::string decoded;
    } cases[] = {
        {ZK, 0, 0x400, FATAL + "Check mailbox error: " + text_of(zk_exception_table, 0x400) + "\n"},
        {ZK, 0, 0x1400, FATAL + "Error: unknown error.\n"},  // two bits: no single key
        {ZK, 2, 0x0, FATAL + "Error: unknown error.\n"},
        {ZK, 0, 0x1, FATAL + "Error: unknown error.\n"},     // a bit the table does not list
        {JQ, 3, 0x3,
         jq + FATAL + "Error: wrong crc.\n" + FATAL + "Check mailbox error: " + text_of(jq_exception_table, 0x1) +
             "\n" + FATAL + "Check mailbox error: " + text_of(jq_exception_table, 0x2) + "\n"},
        {JQ, 0, 0x80000000,
         jq + FATAL + "Error: write failure.\n" + FATAL + "Check mailbox error: " +
             text_of(jq_exception_table, 0x80000000) + "\n"},
        {JQ, 2, 0, jq + FATAL + "Error: wrong firmware data length.\n"},
        {JQ, 4, 0, jq + FATAL + "Error: null firmware data.\n"},
        {JQ, 5, 0, jq + FATAL + "Error: read/write flash failure.\n"},
        {JQ, 6, 0, jq + FATAL + "Error: unknown error.\n"},
        {JQ, 0xFFFFFFFF, 0, jq + FATAL + "Error: unknown error.\n"},
        {WZ, 0, 0x3, ""},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(c.id);
        chip.dev.rd_srcid = c.id == ZK ? 1 : 0;
        chip.set_reg(REGG_SCPU__MAILBOX0_1, c.result);
        chip.set_reg(MAILBOX_SET_STATUS_REG, c.status);
        EXPECT_FALSE(chip.dev.CheckMailbox());
        EXPECT_EQ(trace(), (std::vector<Access>{W(REGG_SCPU__MAILBOX_SRCID, chip.dev.rd_srcid),
                                                R(REGG_SCPU__MAILBOX0_1, c.result),
                                                R(MAILBOX_SET_STATUS_REG, c.status)}));
        EXPECT_EQ(chip.log(), head + read_lines(c.result, c.status) + c.decoded)
            << std::hex << c.id << " " << c.result << " " << c.status;
    }
}

// ---------------------------------------------------------------------------
// WZ mailbox

TEST(WZSetMailbox, WaitsForIdleClearsTheWordsAndWaitsForCompletion)
{
    sim::SimChip chip(WZ);
    sim::board().wz_idle_polls = 2;  // the first read and the first poll see busy
    sim::board().wz_outcome.busy_polls = 1;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(chip.dev.WZSetMailbox(11, 0x1234, 7, 8, 9));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::vector<Access> expected = {
        R(WZ_MAILBOX_BUSY, 1),  R(Mailbox0_7, 0),     R(FW_SCRATCH4_REG, 0),
        S(100000),              R(WZ_MAILBOX_BUSY, 1), S(100000),
        R(WZ_MAILBOX_BUSY, 0),  W(0x9E1C, 0),          W(0x9E18, 0),
        W(0x9E14, 0),           W(0x9E10, 0),          W(0x9E0C, 0),
        W(0x9E08, 0),           W(WZ_MAILBOX_ARG, 0x1234), W(WZ_MAILBOX_CMD, 11),
        S(100000),              R(WZ_MAILBOX_BUSY, 1), S(100000),
        R(WZ_MAILBOX_BUSY, 0),
    };
    EXPECT_EQ(trace(), expected);
    ASSERT_EQ(sim::board().wz_commands.size(), 1u);
    EXPECT_EQ(sim::board().wz_commands[0].argument, 0x1234u);
    EXPECT_EQ(chip.log(), "") << "the WZ mailbox does not log";
}

TEST(WZSetMailbox, BusyThroughTwoHundredPollsBeforeOrAfterTheCommandFails)
{
    struct Case {
        int idle_polls;
        int command_polls;
        size_t commands;
        size_t sleeps;
    } cases[] = {
        {sim::NEVER, 0, 0, 200},
        {0, sim::NEVER, 1, 201},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(WZ);
        sim::board().wz_idle_polls = c.idle_polls;
        sim::board().wz_outcome.busy_polls = c.command_polls;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(chip.dev.WZSetMailbox(11, 4, 0, 0, 0));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Mailbox: no respond.\n");
        EXPECT_EQ(sim::board().wz_commands.size(), c.commands);
        EXPECT_EQ(sim::board().sleeps().size(), c.sleeps);
        if (c.commands == 0) {
            EXPECT_TRUE(sim::board().writes().empty());
        }
        EXPECT_EQ(chip.log(), "");
    }
}

TEST(WZCheckMailbox, ListedErrorBitsArePrintedInOrderAndFail)
{
    struct Case {
        uint32_t busy, mailbox0_7, scratch4;
        bool ok;
        std::string out;
    } cases[] = {
        {0, 0, 0, true, ""},
        {0, 0x200, 0, true, ""},        // bit 9 is not a listed error
        {1, 0, 0x80000000, true, ""},   // neither busy nor an unlisted bit fails the check
        {0, 0x101, 0, false,
         "Mailbox0_7 error: " + text_of(wzMailbox0_7ErrorTable, 0x1) + "\nMailbox0_7 error: " +
             text_of(wzMailbox0_7ErrorTable, 0x100) + "\n"},
        {0, 0x2, 0x40040000, false,
         "Mailbox0_7 error: " + text_of(wzMailbox0_7ErrorTable, 0x2) + "\nFW scratch4 error: " +
             text_of(wzFirmwareScratch4ErrorTable, 0x40000) + "\nFW scratch4 error: " +
             text_of(wzFirmwareScratch4ErrorTable, 0x40000000) + "\n"},
        {0, 0, 0x2000000 | 0x1000000, false,
         "FW scratch4 error: " + text_of(wzFirmwareScratch4ErrorTable, 0x1000000) + "\n"},
    };
    for (const Case& c : cases) {
        sim::SimChip chip(WZ);
        chip.set_reg(WZ_MAILBOX_BUSY, c.busy);
        chip.set_reg(Mailbox0_7, c.mailbox0_7);
        chip.set_reg(FW_SCRATCH4_REG, c.scratch4);
        testing::internal::CaptureStdout();
        EXPECT_EQ(chip.dev.WZCheckMailbox(), c.ok) << std::hex << c.mailbox0_7 << " " << c.scratch4;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(trace(), (std::vector<Access>{R(WZ_MAILBOX_BUSY, c.busy), R(Mailbox0_7, c.mailbox0_7),
                                                R(FW_SCRATCH4_REG, c.scratch4)}));
        EXPECT_EQ(chip.log(), "");
    }
}
