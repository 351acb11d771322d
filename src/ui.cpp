// The board-selection screen of an interactive run: one ticked row per menu
// line of the engine, an Upgrade line and an Exit line. Each tick or untick
// edits the engine's selection at once; the Upgrade line sets its upgrade flag.
#include "ui.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "qv_menu.h"
#include "upgrader.h"

namespace {

Upgrader* up = nullptr;

// The screen's lines, created empty before main and freed at process exit.
std::vector<QV_ITEM*>* IUPGRADER = nullptr;

// Runs ahead of every start-up entry without a priority, the curses check
// among them: the check may end the process, and the exit path frees the list.
__attribute__((constructor(101))) void create_item_list()
{
    IUPGRADER = new std::vector<QV_ITEM*>();
}

const char* const SEPARATOR_SINGLE = "-----------------------------------------------";
const char* const HEADER_SINGLE = "| Product      | PCI          | Version       |";
const char* const SEPARATOR_PAIR = "---------------------------------------------------------";
const char* const HEADER_PAIR = "| Product      | PCI                    | Version       |";
const char* const UPGRADE_LINE = "Upgrade    Start to upgrade firmware.";
const char* const EXIT_LINE = "Exit";

// The action of every board row; it runs after the row's box was swapped,
// so the type it reads is the row's new state.
bool set_select_dev(void* item)
{
    QV_ITEM* row = static_cast<QV_ITEM*>(item_userptr(static_cast<ITEM*>(item)));
    std::string line = row->get_name().substr(4);
    if (row->get_type() == ITEM_SELECTED)
        up->select_devs(true, line);
    else if (row->get_type() == ITEM_UNSELECTED)
        up->select_devs(false, line);
    return true;
}

// The action of the Upgrade line: ends the menu loop and lets the run go on.
bool start_upgrade(void*)
{
    status = false;
    up->SetUpgraderStatus(true);
    return true;
}

void set_upgrader_item(Upgrader* upgrader, std::vector<QV_ITEM*>* list)
{
    const size_t n = upgrader->items.size() + 8;
    const bool single_chip = upgrader->GetChipState();
    const std::string separator = single_chip ? SEPARATOR_SINGLE : SEPARATOR_PAIR;
    const std::string header = single_chip ? HEADER_SINGLE : HEADER_PAIR;

    for (size_t i = 0; i < n; i++) {
        QV_ITEM* line;
        if (i == 0 || i == n - 3)
            line = new QV_ITEM(ITEM_PLAIN, "", "", nullptr);
        else if (i == 1 || i == 3 || i == n - 4)
            line = new QV_ITEM(ITEM_PLAIN, separator, "", nullptr);
        else if (i == 2)
            line = new QV_ITEM(ITEM_PLAIN, header, "", nullptr);
        else if (i == n - 1)
            line = new QV_ITEM(ITEM_PLAIN, EXIT_LINE, "", nullptr);
        else if (i == n - 2)
            line = new QV_ITEM(ITEM_PLAIN, UPGRADE_LINE, "", start_upgrade);
        else
            line = new QV_ITEM(ITEM_SELECTED, upgrader->items[i - 4], "", set_select_dev);
        list->push_back(line);
    }
}

// Runs after the curses libraries are closed at exit.
__attribute__((destructor(101))) void cleanup_global()
{
    if (IUPGRADER == nullptr)
        return;
    for (QV_ITEM* line : *IUPGRADER)
        delete line;
    delete IUPGRADER;
    IUPGRADER = nullptr;
}

// SIGHUP and SIGQUIT while the screen is up end the run as the curses library
// ends it on SIGINT and SIGTERM: the terminal is given back, then the process
// exits with status 1 and nothing is upgraded.
const int SCREEN_END_SIGNALS[] = {SIGHUP, SIGQUIT};
struct sigaction saved_actions[2];
bool replaced[2] = {false, false};

void end_screen_on_signal(int sig)
{
    signal(sig, SIG_IGN);
    endwin();
    _exit(EXIT_FAILURE);
}

// A signal that the caller chose to ignore stays ignored, as the curses
// library does for its own two.
void catch_screen_end_signals()
{
    for (size_t i = 0; i < 2; i++) {
        replaced[i] = false;
        if (sigaction(SCREEN_END_SIGNALS[i], nullptr, &saved_actions[i]) != 0 ||
            saved_actions[i].sa_handler != SIG_DFL || (saved_actions[i].sa_flags & SA_SIGINFO) != 0)
            continue;
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = end_screen_on_signal;
        sigemptyset(&action.sa_mask);
        replaced[i] = sigaction(SCREEN_END_SIGNALS[i], &action, nullptr) == 0;
    }
}

void release_screen_end_signals()
{
    for (size_t i = 0; i < 2; i++) {
        if (replaced[i])
            sigaction(SCREEN_END_SIGNALS[i], &saved_actions[i], nullptr);
        replaced[i] = false;
    }
}

} // namespace

void curses_interaction(Upgrader* upgrader)
{
    up = upgrader;
    set_upgrader_item(upgrader, IUPGRADER);

    w_stdscr = initscr();
    catch_screen_end_signals();
    cbreak();
    noecho();
    use_default_colors();
    clear();

    std::string title = "Brenvoda " + upgrader->GetProductName() + " Firmware " +
                        upgrader->GetFWVersion() + ":\n";
    Menu* menu = new Menu(title, *IUPGRADER);
    menu->display(nullptr, true);
    endwin();
    release_screen_end_signals();
    w_stdscr = nullptr;
    delete menu;
}
