// The board-selection screen through the real binary, run in tmux in the
// fake system with simulated boards: what the screen shows, the key and
// mouse rules of the menu loop, and which boards the run then upgrades.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "../sim/board_map.h"
#include "fakesys.h"
#include "fwgen.h"
#include "log_expect.h"
#include "scpu_responder.h"
#include "tmux_session.h"

namespace {

using fakesys::FakeSystem;
using fakesys::PciFunction;

// The screen's curses objects and the firmware object live until the process
// ends, so a sanitizer build must not count them as leaks.
const std::string LEAKS_BY_DESIGN = "ASAN_OPTIONS=detect_leaks=0";

const std::string FIRMWARE_NAME = "jq610_300w_v1.0.2.hex";
const std::string SEPARATOR_SINGLE(47, '-');
const std::string SEPARATOR_PAIR(57, '-');
const std::string HEADER_SINGLE = "| Product      | PCI          | Version       |";
const std::string HEADER_PAIR = "| Product      | PCI                    | Version       |";
const std::string UPGRADE_ROW = "      Upgrade    Start to upgrade firmware.";
const std::string EXIT_ROW = "      Exit";

// The menu line of a single JQ-R33A-16 chip with firmware 1.0.<patch>.
std::string single_line(const std::string& bdf, int patch)
{
    char line[64];
    std::string version = "1.0." + std::to_string(patch);
    snprintf(line, sizeof line, "| %-12s | %-12s | %-13s |", "JQ-R33A-16", bdf.c_str(), version.c_str());
    return line;
}

// Makes a library absent by binding an empty file over it, in the library
// directories of both machines (a cross build's tool runs under emulation
// with the other machine's libraries). The number of files covered.
int hide_library(const std::string& name, const std::string& empty)
{
    int hidden = 0;
    for (const char* dir : {"/lib/x86_64-linux-gnu", "/lib/aarch64-linux-gnu"}) {
        char real[PATH_MAX];
        if (realpath((std::string(dir) + "/" + name).c_str(), real) != nullptr &&
            mount(empty.c_str(), real, nullptr, MS_BIND, nullptr) == 0)
            hidden++;
    }
    return hidden;
}

class Screen : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for the fake system";
        fs_ = std::make_unique<FakeSystem>();
        ASSERT_TRUE(fs_->ok());
        fs_->SetModules("");
    }

    void TearDown() override
    {
        screen_.reset();
        responder_.reset();
        fs_.reset();
    }

    // A JQ chip of product JQ-R33A-16 (code 2) running firmware 1.0.<patch>.
    // Device 0x0007 makes it one chip of a two-chip board.
    // `node` places the chip in the fake device tree (empty: a switch of its
    // own).
    void AddBoard(const std::string& bdf, int patch, const std::string& device = "0x0002",
                  const std::string& node = "")
    {
        PciFunction fn;
        fn.bdf = bdf;
        fn.device = device;
        fn.node = node;
        fn.regs[board_map::JQ_BOARD_REG] = 2u << 25;
        fn.regs[board_map::FW_VERSION_REG_JQ] = 0x01000000u | static_cast<uint32_t>(patch);
        fn.regs[board_map::REGG_SCPU__MAILBOX_READY] = board_map::MAILBOX_READY_VALUE;  // the SCPU mailbox is ready
        fs_->AddPci(fn);
        bdfs_.push_back(bdf);
        patches_[bdf] = patch;
    }

    // A headered JQ-R33A-16 firmware file of version 1.2.3.
    void WriteFirmware()
    {
        fwgen::Header header;
        header.model_code = 2;
        header.version_word = 0x01000203;
        ASSERT_TRUE(fwgen::write(fs_->WorkDir() + "/" + FIRMWARE_NAME,
                                 fwgen::headered(header, fwgen::random_bytes(512, 3))));
    }

    // Starts the tool in a tmux pane, with an SCPU stand-in for every board
    // and the extra "NAME=value" entries of env, and waits for the screen's
    // title.
    void Start(int width = 100, int height = 40, const std::vector<std::string>& env = {})
    {
        responder_ = std::make_unique<ScpuResponder>();
        for (const std::string& bdf : bdfs_) {
            ScpuBoard board;
            board.resource2 = FakeSystem::PciPath(bdf) + "/resource2";
            responder_->Add(board);
        }
        ASSERT_TRUE(responder_->Start()) << responder_->Error();

        std::vector<std::string> tool_env = {LEAKS_BY_DESIGN};
        tool_env.insert(tool_env.end(), env.begin(), env.end());
        screen_ = std::make_unique<fakesys::TmuxSession>(*fs_, FakeSystem::ToolArgv({}), width, height, tool_env);
        ASSERT_TRUE(screen_->ok());
        ASSERT_TRUE(screen_->WaitForText(" Firmware "));
        screen_->WaitIdle();
    }

    // True when the board's memory window received an image.
    bool Upgraded(const std::string& bdf) const
    {
        std::string bytes = fs_->ReadMem(bdf, 0x800, 64);
        return bytes.find_first_not_of('\0') != std::string::npos;
    }

    // A board's row as the screen shows it, ticked or not.
    std::string BoardRow(const std::string& bdf, bool ticked) const
    {
        return std::string(ticked ? "  [*] " : "  [ ] ") + single_line(bdf, patches_.at(bdf));
    }

    std::vector<bool> UpgradedBoards() const
    {
        std::vector<bool> result;
        for (const std::string& bdf : bdfs_)
            result.push_back(Upgraded(bdf));
        return result;
    }

    std::string Row(int index) const
    {
        std::vector<std::string> rows = screen_->Rows();
        return index < static_cast<int>(rows.size()) ? rows[static_cast<size_t>(index)] : "";
    }

    // The boards in the order of their rows (the engine's board order), from
    // screen row `first` on.
    std::vector<std::string> RowOrder(int first = 5) const
    {
        std::vector<std::string> order;
        std::vector<std::string> rows = screen_->Rows();
        for (size_t r = static_cast<size_t>(first); r < rows.size(); r++)
            for (const std::string& bdf : bdfs_)
                if (rows[r].find("| " + bdf + " ") != std::string::npos)
                    order.push_back(bdf);
        return order;
    }

    // The menu line index of the highlighted row (screen row 1 shows line 0
    // while the menu is not scrolled).
    int CurrentLine() const { return screen_->CurrentRow() - 1; }

    std::unique_ptr<FakeSystem> fs_;
    std::unique_ptr<ScpuResponder> responder_;
    std::unique_ptr<fakesys::TmuxSession> screen_;
    std::vector<std::string> bdfs_;
    std::map<std::string, int> patches_;
};

TEST_F(Screen, SingleChipLayout)
{
    AddBoard("0000:01:00.0", 1);
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    std::vector<std::string> expected = {
        "Brenvoda JQ-R33A-16 Firmware V1.2.3:",
        "",
        "      " + SEPARATOR_SINGLE,
        "      " + HEADER_SINGLE,
        "      " + SEPARATOR_SINGLE,
        "  [*] " + single_line("0000:01:00.0", 1),
        "      " + SEPARATOR_SINGLE,
        "",
        UPGRADE_ROW,
        EXIT_ROW,
    };
    std::vector<std::string> rows = screen_->Rows();
    ASSERT_GE(rows.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(rows[i], expected[i]) << "row " << i;
    for (size_t i = expected.size(); i < rows.size(); i++)
        EXPECT_EQ(rows[i], "") << "row " << i;
    EXPECT_EQ(CurrentLine(), 4);
}

TEST_F(Screen, TwoChipLayout)
{
    // Two chips under one switch: the same path with four components dropped.
    AddBoard("0000:01:00.0", 4, "0x0007", "/sys/devices/pci0000:00/0000:00:01.0/a/b/c/0000:01:00.0");
    AddBoard("0000:02:00.0", 4, "0x0007", "/sys/devices/pci0000:00/0000:00:01.0/x/y/z/0000:02:00.0");
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(Row(2), "      " + SEPARATOR_PAIR);
    EXPECT_EQ(Row(3), "      " + HEADER_PAIR);
    EXPECT_EQ(Row(4), "      " + SEPARATOR_PAIR);
    // The first chip of the engine's order names the pair.
    EXPECT_TRUE(Row(5) == "  [*] | JQ-R33A-16   | 0000:01:00.0 / 02:00.0 | 1.0.4         |" ||
                Row(5) == "  [*] | JQ-R33A-16   | 0000:02:00.0 / 01:00.0 | 1.0.4         |")
        << Row(5);
    EXPECT_EQ(Row(6), "      " + SEPARATOR_PAIR);
    EXPECT_EQ(Row(8), UPGRADE_ROW);

    // The pair line names both chips: choosing Upgrade upgrades both.
    screen_->SendKeys({"Down"});
    screen_->SendKeys({"Enter"});
    EXPECT_EQ(screen_->WaitExit(), 0) << screen_->Screen();
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{true, true}));
}

// Down and Up jump over the separator and the blank line between the board
// rows and the Upgrade line; moves past the ends are refused.
TEST_F(Screen, KeyMovesOverTheLayout)
{
    AddBoard("0000:01:00.0", 1);
    AddBoard("0000:02:00.0", 2);
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    // n = 10: board rows 4 and 5, Upgrade 8, Exit 9.
    struct Step {
        const char* key;
        int line;
    };
    const std::vector<Step> steps = {
        {"Up", 4}, {"Down", 5}, {"Down", 8}, {"Down", 9}, {"Down", 9},
        {"Up", 8}, {"Up", 5},   {"Up", 4},   {"Up", 4},
    };
    EXPECT_EQ(CurrentLine(), 4);
    for (const Step& step : steps) {
        screen_->SendKeys({step.key});
        EXPECT_EQ(CurrentLine(), step.line) << "after " << step.key;
    }
    // Keys the menu does not use change nothing.
    std::string before = screen_->Screen();
    screen_->SendKeys({"x"});
    screen_->SendKeys({"Left"});
    screen_->SendKeys({"PageDown"});
    EXPECT_EQ(screen_->Screen(), before);
    EXPECT_EQ(CurrentLine(), 4);
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{false, false}));
}

// Every way of choosing a line toggles a board row, and the selection that
// reaches the engine decides which boards the run upgrades.
TEST_F(Screen, TicksReachTheEngine)
{
    AddBoard("0000:01:00.0", 1);
    AddBoard("0000:02:00.0", 2);
    AddBoard("0000:03:00.0", 3);
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    std::vector<std::string> order = RowOrder();
    ASSERT_EQ(order.size(), 3u) << screen_->Screen();
    screen_->SendKeys({"Enter"});  // untick the first row (carriage return)
    EXPECT_EQ(Row(5), BoardRow(order[0], false));
    EXPECT_EQ(CurrentLine(), 4) << "the current line stays on the row";
    screen_->SendKeys({"Down"});
    screen_->SendKeys({"Space"});  // untick the second row
    EXPECT_EQ(Row(6), BoardRow(order[1], false));
    screen_->SendKeys({"C-m"});  // tick it again
    screen_->SendKeys({"Down"});
    screen_->SendKeys({"C-j"});  // untick the third row (line feed)
    EXPECT_EQ(Row(5), BoardRow(order[0], false));
    EXPECT_EQ(Row(6), BoardRow(order[1], true));
    EXPECT_EQ(Row(7), BoardRow(order[2], false));
    screen_->SendKeys({"Down"});
    ASSERT_EQ(CurrentLine(), 9);
    screen_->SendKeys({"Enter"});
    EXPECT_EQ(screen_->WaitExit(), 0) << screen_->Screen();
    for (const std::string& bdf : bdfs_)
        EXPECT_EQ(Upgraded(bdf), bdf == order[1]) << bdf;
}

// Leaving without the Upgrade line: nothing is written, the status is 255 and
// the run's log ends with its closing line.
TEST_F(Screen, LeavingWithoutUpgrade)
{
    struct Case {
        const char* name;
        std::vector<const char*> keys;
    };
    const std::vector<Case> cases = {
        {"Exit line", {"Down", "Down", "Enter"}},
        {"Escape", {"Escape"}},
        {"Escape on the Upgrade line", {"Down", "Escape"}},
    };
    AddBoard("0000:01:00.0", 1);
    WriteFirmware();
    for (const Case& c : cases) {
        std::error_code ec;
        std::filesystem::remove_all(e2e::kLogDir, ec);
        ASSERT_NO_FATAL_FAILURE(Start());
        for (const char* key : c.keys)
            screen_->SendKeys({key});
        EXPECT_EQ(screen_->WaitExit(), 255) << c.name << "\n" << screen_->Screen();
        EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{false})) << c.name;
        std::string log = FakeSystem::ReadFile(e2e::kLogFile);
        size_t closing = log.find(e2e::kClosing);
        EXPECT_TRUE(closing != std::string::npos && closing + e2e::kClosing.size() == log.size())
            << c.name << "\n" << log;
        screen_.reset();
        responder_.reset();
    }
}

TEST_F(Screen, UpgradeWithEveryRowUnticked)
{
    AddBoard("0000:01:00.0", 1);
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    screen_->SendKeys({"Space"});
    screen_->SendKeys({"Down"});
    screen_->SendKeys({"Enter"});
    EXPECT_EQ(screen_->WaitExit(), 255) << screen_->Screen();
    EXPECT_NE(screen_->Screen().find("No gpu is selected in the interface."), std::string::npos)
        << screen_->Screen();
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{false}));
}

// A chip of a two-chip board without its partner has no row: the current
// line starts on the separator and the moves follow the line layout.
TEST_F(Screen, NoBoardRow)
{
    AddBoard("0000:01:00.0", 1, "0x0007");
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(Row(5), "      " + SEPARATOR_PAIR);
    EXPECT_EQ(Row(6), "");
    EXPECT_EQ(Row(7), UPGRADE_ROW);
    EXPECT_EQ(Row(8), EXIT_ROW);
    // n = 8: separator 4, blank 5, Upgrade 6, Exit 7.
    struct Step {
        const char* key;
        int line;
    };
    const std::vector<Step> steps = {
        {"Up", 4},   {"Down", 5}, {"Down", 6}, {"Down", 7}, {"Up", 6}, {"Up", 3},
        {"Up", 2},   {"Up", 1},   {"Up", 0},   {"Up", 0},   {"Down", 1},
        {"Down", 2}, {"Down", 3}, {"Down", 6},
    };
    EXPECT_EQ(CurrentLine(), 4);
    for (const Step& step : steps) {
        screen_->SendKeys({step.key});
        // Line 0 shares screen row 1 with the blanks that pad the title
        // after its newline, which cover its highlight.
        if (step.line == 0)
            EXPECT_EQ(screen_->CurrentRow(), -1) << "after " << step.key;
        else
            EXPECT_EQ(CurrentLine(), step.line) << "after " << step.key;
    }
    // Choosing a plain line only redraws.
    screen_->SendKeys({"Up"});
    std::string before = screen_->Screen();
    screen_->SendKeys({"Enter"});
    EXPECT_EQ(screen_->Screen(), before);
    screen_->SendKeys({"Down"});
    screen_->SendKeys({"Enter"});
    EXPECT_EQ(screen_->WaitExit(), 255) << screen_->Screen();
    EXPECT_NE(screen_->Screen().find("No gpu is selected in the interface."), std::string::npos);
}

// Mouse events, as the terminal sends them. Row r of the screen shows menu
// line r - 1. Run under both library ABIs: the ABI 5 library's mouse event
// is laid out differently from the one of the ABI 6 headers.
class ScreenMouse : public Screen, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        Screen::SetUp();
        if (IsSkipped() || GetParam() == 5)
            return;
        // Without libformw.so.5 the ABI 6 set is chosen.
        std::string empty = fs_->ScratchDir() + "/empty";
        FakeSystem::WriteFile(empty, "");
        if (hide_library("libformw.so.5", empty) > 0) {
            fakesys::RunOptions options;
            options.env = {"LD_DEBUG=libs"};
            fakesys::RunResult help = fs_->Run({"--help"}, options);
            ASSERT_NE(help.err.find("find library=libformw.so.6"), std::string::npos) << "ABI 6 not chosen";
            return;
        }
        GTEST_SKIP() << "no libformw.so.5 to hide";
    }
};

TEST_P(ScreenMouse, ClicksOnRowsAndPlainLines)
{
    AddBoard("0000:01:00.0", 1);
    AddBoard("0000:02:00.0", 2);
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    // Lines 0 to 3, the separator and the blank line after the rows, a row
    // below the last line and the title row (outside the menu's window).
    std::string before = screen_->Screen();
    for (int row : {1, 2, 3, 4, 7, 8, 11, 20, 0})
        screen_->Click(row, 10);
    EXPECT_EQ(screen_->Screen(), before);
    EXPECT_EQ(CurrentLine(), 4);

    std::vector<std::string> order = RowOrder();
    ASSERT_EQ(order.size(), 2u) << screen_->Screen();
    screen_->Click(6, 12);  // the second row: untick, current line
    EXPECT_EQ(Row(6), BoardRow(order[1], false));
    EXPECT_EQ(CurrentLine(), 5);
    screen_->Wheel(5, 12);  // a wheel event counts as a click: untick the first
    EXPECT_EQ(Row(5), BoardRow(order[0], false));
    EXPECT_EQ(CurrentLine(), 4);
    screen_->Click(5, 30);  // tick it again
    EXPECT_EQ(Row(5), BoardRow(order[0], true));

    screen_->Click(9, 8);  // the Upgrade line
    EXPECT_EQ(screen_->WaitExit(), 0) << screen_->Screen();
    EXPECT_TRUE(Upgraded(order[0]));
    EXPECT_FALSE(Upgraded(order[1]));
}

TEST_P(ScreenMouse, ClickOnExitRow)
{
    AddBoard("0000:01:00.0", 1);
    WriteFirmware();
    ASSERT_NO_FATAL_FAILURE(Start());
    screen_->Click(9, 7);
    EXPECT_EQ(screen_->WaitExit(), 255) << screen_->Screen();
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{false}));
}

INSTANTIATE_TEST_SUITE_P(Abi, ScreenMouse, ::testing::Values(5, 6),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Abi" + std::to_string(info.param);
                         });

// A menu longer than the screen scrolls: a click acts on the line shown
// under the pointer.
TEST_F(Screen, ClickInScrolledMenu)
{
    for (int i = 1; i <= 12; i++) {
        char bdf[16];
        snprintf(bdf, sizeof bdf, "0000:%02x:00.0", i);
        AddBoard(bdf, i);
    }
    WriteFirmware();
    // 14 screen lines: the menu shows 12 of its 20 lines.
    ASSERT_NO_FATAL_FAILURE(Start(100, 14));
    for (int i = 0; i < 11; i++)
        screen_->SendKeys({"Down"});
    // The current line is the last board row (line 15), shown on the last
    // menu row; the list has scrolled by four lines.
    ASSERT_EQ(screen_->CurrentRow(), 12) << screen_->Screen();
    std::vector<std::string> order = RowOrder(2);
    ASSERT_EQ(order.size(), 11u) << screen_->Screen();
    EXPECT_EQ(Row(12), BoardRow(order.back(), true));

    // Window row 5 (screen row 6) shows line 9; without the scroll it would
    // be line 5.
    std::string shown = order[4];
    ASSERT_EQ(Row(6), BoardRow(shown, true)) << screen_->Screen();
    screen_->Click(6, 12);
    EXPECT_EQ(Row(6), BoardRow(shown, false)) << screen_->Screen();
    EXPECT_EQ(screen_->CurrentRow(), 6);
    for (int row = 2; row <= 12; row++) {
        if (row == 6)
            continue;
        EXPECT_EQ(Row(row).substr(0, 6), "  [*] ") << "row " << row;
    }
    screen_->SendKeys({"Escape"});
    EXPECT_EQ(screen_->WaitExit(), 255);
}

// A screen of 32 lines or fewer shows lines - 2 menu rows; a taller one
// shows 32.
TEST_F(Screen, MenuRowsFollowTheScreenHeight)
{
    for (int i = 1; i <= 30; i++) {
        char bdf[16];
        snprintf(bdf, sizeof bdf, "0000:%02x:00.0", i);
        AddBoard(bdf, i);
    }
    WriteFirmware();
    struct Case {
        int height;
        int menu_rows;
    };
    for (const Case& c : {Case{32, 30}, Case{33, 32}, Case{40, 32}}) {
        ASSERT_NO_FATAL_FAILURE(Start(100, c.height));
        // Screen rows 1 to menu_rows show lines 0 to menu_rows - 1, the
        // board rows among them from line 4 on.
        EXPECT_EQ(RowOrder().size(), static_cast<size_t>(c.menu_rows - 4))
            << c.height << "\n" << screen_->Screen();
        EXPECT_EQ(Row(c.menu_rows).substr(0, 6), "  [*] ") << c.height;
        for (int row = c.menu_rows + 1; row < c.height; row++)
            EXPECT_EQ(Row(row), "") << c.height << " row " << row;
        screen_->SendKeys({"Escape"});
        EXPECT_EQ(screen_->WaitExit(), 255) << c.height;
        screen_.reset();
        responder_.reset();
    }
}

// The curses libraries on the screen's path, with the tool run without a
// terminal of its own (standard input empty).
class ScreenLibraries : public Screen {
protected:
    void Hide(const std::string& name)
    {
        std::string empty = fs_->ScratchDir() + "/empty";
        FakeSystem::WriteFile(empty, "");
        ASSERT_GT(hide_library(name, empty), 0) << name;
    }

    // A directory for LD_LIBRARY_PATH holding a copy of a stand-in library
    // under the given name.
    std::string StandInDir(const std::string& stand_in, const std::string& name)
    {
        std::string dir = fs_->ScratchDir() + "/libs";
        FakeSystem::MakeDirs(dir);
        FakeSystem::WriteFile(dir + "/" + name, FakeSystem::ReadFile(stand_in), 0755);
        return dir;
    }

    fakesys::RunResult RunTool(const std::vector<std::string>& args, const std::vector<std::string>& env)
    {
        fakesys::RunOptions options;
        options.env = env;
        options.env.push_back("TERM=screen");
        options.env.push_back(LEAKS_BY_DESIGN);
        options.timeout_sec = 30;
        return fs_->Run(args, options);
    }

    void SetUpBoard()
    {
        AddBoard("0000:01:00.0", 1);
        WriteFirmware();
        responder_ = std::make_unique<ScpuResponder>();
        ScpuBoard board;
        board.resource2 = FakeSystem::PciPath("0000:01:00.0") + "/resource2";
        responder_->Add(board);
        ASSERT_TRUE(responder_->Start()) << responder_->Error();
    }
};

// With no key to read (end of input), the loop leaves as the Exit line does
// instead of waiting for ever: nothing is upgraded.
TEST_F(ScreenLibraries, FailedKeyReadLeavesTheMenu)
{
    ASSERT_NO_FATAL_FAILURE(SetUpBoard());
    fakesys::RunResult run = RunTool({}, {});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 255) << run.err;
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{false}));
}

// A library that opens but lacks a served function: the first call of that
// function ends the process with the message and a failed assertion.
TEST_F(ScreenLibraries, UnresolvedFunctionAborts)
{
    ASSERT_NO_FATAL_FAILURE(SetUpBoard());
    std::string dir = StandInDir(CURSES_STAND_IN_EMPTY, "libpanelw.so.5");
    fakesys::RunResult run = RunTool({}, {"LD_LIBRARY_PATH=" + dir});
    EXPECT_TRUE(run.signaled);
    EXPECT_EQ(run.signal, SIGABRT);
    EXPECT_NE(run.err.find("implib-gen: libpanelw.so.6: failed to resolve symbol 'new_panel' via dlsym: "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Assertion in generated code"), std::string::npos) << run.err;
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{false}));
}

// A library that the start-up check opened but that is gone by its first
// use: the message names the stub layer's file name and the ABI in use.
TEST_F(ScreenLibraries, LibraryGoneAtFirstUse)
{
    ASSERT_NO_FATAL_FAILURE(SetUpBoard());
    Hide("libpanelw.so.5");
    std::string dir = StandInDir(CURSES_STAND_IN_VANISHING, "libpanelw.so.5");
    fakesys::RunResult run = RunTool({}, {"LD_LIBRARY_PATH=" + dir});
    EXPECT_FALSE(run.signaled);
    EXPECT_EQ(run.status, 1) << run.err;
    size_t at = run.err.find("dlopen failed on libpanelw.so.6 v5: ");
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_NE(run.err.find("libpanelw.so.5", at), std::string::npos) << run.err;
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{false}));
}

// The curses libraries that LD_DEBUG=libs reports, one line each.
std::vector<std::string> curses_lines(const std::string& debug)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < debug.size()) {
        size_t end = debug.find('\n', start);
        if (end == std::string::npos)
            end = debug.size();
        std::string line = debug.substr(start, end - start);
        for (const char* name : {"libtinfo.so", "libncursesw.so", "libmenuw.so", "libpanelw.so", "libformw.so"})
            if (line.find(name) != std::string::npos) {
                size_t colon = line.find(':');
                lines.push_back(colon == std::string::npos ? line : line.substr(colon + 1));
                break;
            }
        start = end + 1;
    }
    return lines;
}

// An unattended run opens and closes the curses libraries only in the
// start-up check, exactly as a "--help" run does.
TEST_F(ScreenLibraries, SilentRunOpensNoCursesLibraryAfterTheCheck)
{
    ASSERT_NO_FATAL_FAILURE(SetUpBoard());
    fakesys::RunResult help = RunTool({"--help"}, {"LD_DEBUG=libs"});
    ASSERT_EQ(help.status, 0);
    fakesys::RunResult silent = RunTool({"--silent"}, {"LD_DEBUG=libs"});
    EXPECT_EQ(silent.status, 0) << silent.out << silent.err;
    EXPECT_EQ(UpgradedBoards(), (std::vector<bool>{true}));
    std::vector<std::string> check = curses_lines(help.err);
    ASSERT_FALSE(check.empty());
    EXPECT_EQ(curses_lines(silent.err), check);
}

// Each curses function is looked up once, at its first call, however often
// it is called. At exit the stubs close their libraries in the order
// libtinfo, libpanelw, libncursesw, libmenuw: libpanelw is the first to be
// unloaded, and libmenuw takes libncursesw and libtinfo with it.
TEST_F(Screen, LookupsOnceAndClosesTheLibrariesInOrder)
{
    AddBoard("0000:01:00.0", 1);
    WriteFirmware();
    std::string debug = fs_->ScratchDir() + "/ld-debug";
    ASSERT_NO_FATAL_FAILURE(Start(100, 40, {"LD_DEBUG=libs,bindings", "LD_DEBUG_OUTPUT=" + debug}));
    screen_->SendKeys({"Down"});
    screen_->SendKeys({"Up"});
    screen_->SendKeys({"Space"});
    screen_->SendKeys({"Escape"});
    ASSERT_EQ(screen_->WaitExit(), 255);
    std::string text;
    for (const std::string& name : FakeSystem::ListDir(fs_->ScratchDir()))
        if (name.rfind("ld-debug", 0) == 0)
            text += FakeSystem::ReadFile(fs_->ScratchDir() + "/" + name);

    // A dlsym look-up on a library's handle shows as a binding of that
    // library to itself without a symbol version (the library's own
    // relocations carry one); these functions are called on every pass.
    struct Lookup {
        const char* function;
        const char* library;
    };
    const std::vector<Lookup> lookups = {
        {"wgetch", "libncursesw.so.5"}, {"refresh", "libncursesw.so.5"}, {"post_menu", "libmenuw.so.5"},
        {"current_item", "libmenuw.so.5"}, {"top_panel", "libpanelw.so.5"},
    };
    for (const Lookup& lookup : lookups) {
        std::string self = std::string("/") + lookup.library + " [0] to ";
        std::string symbol = std::string("`") + lookup.function + "'";
        int bindings = 0;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            size_t file = line.find("binding file ");
            if (file != std::string::npos && line.find(self, file) != std::string::npos &&
                line.size() >= symbol.size() &&
                line.compare(line.size() - symbol.size(), symbol.size(), symbol) == 0 &&
                line.find(std::string("/") + lookup.library + " [0]: normal symbol ") != std::string::npos)
                bindings++;
            start = end + 1;
        }
        EXPECT_EQ(bindings, 1) << lookup.function;
    }

    std::vector<std::string> finis;
    for (const std::string& line : curses_lines(text))
        if (line.find("calling fini") != std::string::npos)
            finis.push_back(line.substr(line.rfind('/') + 1));
    ASSERT_GE(finis.size(), 4u);
    std::vector<std::string> last(finis.end() - 4, finis.end());
    EXPECT_EQ(last, (std::vector<std::string>{"libpanelw.so.5 [0]", "libmenuw.so.5 [0]",
                                               "libncursesw.so.5 [0]", "libtinfo.so.5 [0]"}));
}

// The settings of a terminal that stty reports, one word each ("echo",
// "-icanon", ...).
std::vector<std::string> tty_settings(const FakeSystem& fs, const std::string& tty)
{
    fakesys::RunResult r = fs.RunProgram({"stty", "-F", tty, "-a"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> words;
    std::string word;
    for (char c : r.out + "\n") {
        if (c == ' ' || c == '\n' || c == ';') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

// A signal that ends the run while the screen is up gives the terminal back
// (line editing and echo, the normal screen, no mouse reporting) and ends the
// run as the curses library ends it on SIGINT, with status 1 and no board
// upgraded.
TEST_F(Screen, EndingSignalsGiveTheTerminalBack)
{
    AddBoard("0000:03:00.0", 2);
    WriteFirmware();
    const std::string pid_file = fs_->ScratchDir() + "/tool.pid";
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        std::vector<std::string> argv = {"sh", "-c", "echo $$ > '" + pid_file + "'; exec \"$@\"", "sh"};
        for (const std::string& a : FakeSystem::ToolArgv({}))
            argv.push_back(a);
        screen_ = std::make_unique<fakesys::TmuxSession>(*fs_, argv, 100, 40,
                                                         std::vector<std::string>{LEAKS_BY_DESIGN});
        ASSERT_TRUE(screen_->ok());
        ASSERT_TRUE(screen_->WaitForText(" Firmware "));
        screen_->WaitIdle();
        const std::string tty = screen_->Format("#{pane_tty}");
        const std::string modes = "#{alternate_on} #{mouse_standard_flag}#{mouse_button_flag}#{mouse_any_flag}";
        ASSERT_NE(screen_->Format(modes), "0 000");  // the screen is in curses mode
        std::vector<std::string> during = tty_settings(*fs_, tty);
        ASSERT_NE(std::find(during.begin(), during.end(), "-echo"), during.end());

        ASSERT_EQ(kill(std::stoi(FakeSystem::ReadFile(pid_file)), sig), 0);
        EXPECT_EQ(screen_->WaitExit(), 1);
        EXPECT_EQ(screen_->Format(modes), "0 000");
        std::vector<std::string> after = tty_settings(*fs_, tty);
        for (const char* setting : {"echo", "icanon", "icrnl", "opost"})
            EXPECT_NE(std::find(after.begin(), after.end(), setting), after.end()) << setting;
        EXPECT_EQ(UpgradedBoards(), std::vector<bool>{false});
        EXPECT_EQ(FakeSystem::ReadFile("/var/log/qvFwTool/qvfw-tool.log").find("Start to upgrade"),
                  std::string::npos);
        screen_.reset();
    }
}

} // namespace
