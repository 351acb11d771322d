// Turning menu lines back into boards, and the selection edits of the screen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upgrader.h"
#include "upgrader_internal.h"

namespace {

Board* make_board(const std::string& bdf)
{
    Board* board = new Board();
    board->bdf = bdf;
    board->version = "1.2.3";
    return board;
}

std::string single_line(const std::string& bdf)
{
    return "| JQ-R21A-8    | " + bdf + " | 1.2.3         |";
}

std::string pair_line(const std::string& first, const std::string& partner)
{
    return "| ZK-R640-64   | " + first + " / " + partner.substr(5) + " | 1.2.3         |";
}

} // namespace

// Boards of two PCI domains share bus, device and function: a line names only
// the board of its own domain.
TEST(PraseUiString, MatchesFullAddressAcrossDomains)
{
    Board* a0 = make_board("0000:03:00.0");
    Board* a1 = make_board("0001:03:00.0");
    Board* b0 = make_board("0000:04:00.0");
    Board* b1 = make_board("0001:04:00.0");
    std::vector<Board*> boards = {a0, a1, b0, b1};

    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::vector<Board*> expected;
    };
    const Case cases[] = {
        {"single line of domain 0", {single_line("0000:03:00.0")}, {a0}},
        {"single line of domain 1", {single_line("0001:03:00.0")}, {a1}},
        {"pair line of domain 0", {pair_line("0000:03:00.0", "0000:04:00.0")}, {a0, b0}},
        {"pair line of domain 1", {pair_line("0001:03:00.0", "0001:04:00.0")}, {a1, b1}},
        {"one line per domain", {single_line("0001:04:00.0"), single_line("0000:03:00.0")}, {a0, b1}},
        {"no line", {}, {}},
        {"a line of another board", {single_line("0000:05:00.0")}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(prase_ui_string(boards, c.lines), c.expected) << c.what;

    for (Board* board : boards)
        delete board;
}

// The result follows the order of the boards, and a board named by two lines
// comes twice (both lines selected: the board is served twice).
TEST(PraseUiString, OrderOfBoardsAndOneEntryPerNamingLine)
{
    Board* x = make_board("0000:81:00.0");
    Board* y = make_board("0000:82:00.0");
    Board* z = make_board("0000:83:00.0");
    std::vector<Board*> boards = {x, y, z};
    std::vector<std::string> lines = {pair_line("0000:83:00.0", "0000:81:00.0"),
                                      pair_line("0000:81:00.0", "0000:82:00.0")};
    std::vector<Board*> expected = {x, x, y, z};
    EXPECT_EQ(prase_ui_string(boards, lines), expected);
    for (Board* board : boards)
        delete board;
}

TEST(SelectDevs, UntickAndTickMoveTheLineToTheEnd)
{
    Upgrader upgrader(false);
    upgrader.selected_items = {"A", "B", "C"};
    upgrader.select_devs(false, "A");
    EXPECT_EQ(upgrader.selected_items, (std::vector<std::string>{"B", "C"}));
    upgrader.select_devs(true, "A");
    EXPECT_EQ(upgrader.selected_items, (std::vector<std::string>{"B", "C", "A"}));
    // Ticking twice keeps two entries; one untick removes both.
    upgrader.select_devs(true, "B");
    upgrader.select_devs(false, "B");
    EXPECT_EQ(upgrader.selected_items, (std::vector<std::string>{"C", "A"}));
    upgrader.select_devs(false, "missing");
    EXPECT_EQ(upgrader.selected_items, (std::vector<std::string>{"C", "A"}));
}

TEST(FwVersionCheck, ComparesNumberSequencesWithOneZeroNine)
{
    struct Case {
        const char* version;
        bool not_greater;
    };
    const Case cases[] = {
        {"1.0.9", true},  {"1.0.8", true},   {"1.0", true},    {"", true},
        {"0.99.99", true}, {"1.0.10", false}, {"1.1", false},   {"2", false},
        {"1.0.9.0", false}, {"v1-0-9", true}, {"1..0.9", true}, {"1.0.09", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fw_version_check(c.version), c.not_greater) << c.version;
}

TEST(PlainVersion, OnlyDigitsAndDots)
{
    EXPECT_TRUE(is_plain_version("1.2.3"));
    EXPECT_TRUE(is_plain_version("10"));
    for (const char* text : {"", "1.2.3\nnudra/4.5", "1.2;reboot", "1.2 3", "$(id)", "1.2-rc1"})
        EXPECT_FALSE(is_plain_version(text)) << text;
}
