// Menu layer of the board-selection screen: check-box lines over the curses
// menu and panel libraries, shown full-screen under a title line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Curses functions only: no macro may reach the libraries' exported variables.
#ifndef NCURSES_NOMACROS
#define NCURSES_NOMACROS 1
#endif
#include <curses.h>
#include <menu.h>
#include <panel.h>

// The screen window returned by initscr; null while no screen is shown.
extern WINDOW* w_stdscr;
// The menu loop runs while this holds; the Exit line, Escape and the Upgrade
// line's action clear it.
extern bool status;

enum ITEM_TYPE : int32_t {
    ITEM_UNSELECTED = 0,
    ITEM_SELECTED = 1,
    ITEM_PLAIN = 2,
};

// One line of the menu: a text, an optional check box and an optional action.
class QV_ITEM {
public:
    QV_ITEM(ITEM_TYPE type, std::string name, std::string description, bool (*action)(void*));
    ~QV_ITEM();

    // The four-character box prefix ("[*] ", "[ ] " or four blanks), then name.
    std::string get_name();
    std::string get_description();
    ITEM_TYPE get_type();
    bool selectable();
    // The line was chosen: swap the box of a selectable line, then run the
    // action with the line's menu-library item.
    void click(ITEM* item);

    bool (*action)(void*);
    ITEM_TYPE type;
    std::string name;
    std::string description;
};

// Makes the menu-library item of a line; its user pointer is the line.
ITEM* make_item(QV_ITEM* line);
// Replaces the item's two texts with fresh copies.
void set_info(ITEM* item, std::string name, std::string description);
void try_free(void* pointer);

// Layout of the library's mouse event under ABI 5 on this machine, where the
// button state is an unsigned long; the ABI 6 headers declare a 32-bit one.
struct MEVENT_ABI5 {
    short id;
    int x, y, z;
    unsigned long bstate;
};
// Room for the mouse event of either ABI.
union MouseEventRoom {
    MEVENT abi6;
    MEVENT_ABI5 abi5;
};
// The position of a mouse event, read from the layout of the given ABI.
void mouse_event_position(const MouseEventRoom& event, int abi, int* y, int* x);

class Menu {
public:
    Menu(std::string title, std::vector<QV_ITEM*> items);
    ~Menu();

    // Shows the menu and runs the key and mouse loop. True only when Escape
    // ended the loop, which needs esc_ends.
    bool display(void* unused, bool esc_ends);

    std::string title;
    PANEL* panel = nullptr;
    WINDOW* sub_win = nullptr;
    MENU* menu = nullptr;
    std::vector<ITEM*> curses_items;
};
