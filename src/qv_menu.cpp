// Menu layer of the board-selection screen.
//
// The check boxes are the program's own text at the head of each line; the
// menu library only draws the lines, keeps the current line and moves it.
// The navigation rules follow the screen's line layout: a blank line, the
// separator, the column header and the separator (lines 0 to 3), the board
// rows, then the separator, a blank line, the Upgrade line and the Exit line.
#include "qv_menu.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib_loader/loader.h"

WINDOW* w_stdscr = nullptr;
bool status = true;

QV_ITEM::QV_ITEM(ITEM_TYPE type, std::string name, std::string description, bool (*action)(void*))
    : action(action), type(type), name(std::move(name)), description(std::move(description))
{
}

QV_ITEM::~QV_ITEM() = default;

std::string QV_ITEM::get_name()
{
    char prefix[8];
    switch (type) {
    case ITEM_UNSELECTED:
        snprintf(prefix, sizeof prefix, "[%c] ", ' ');
        break;
    case ITEM_SELECTED:
        snprintf(prefix, sizeof prefix, "[%c] ", '*');
        break;
    default:
        snprintf(prefix, sizeof prefix, "    ");
        break;
    }
    return prefix + name;
}

std::string QV_ITEM::get_description()
{
    return description;
}

ITEM_TYPE QV_ITEM::get_type()
{
    return type;
}

bool QV_ITEM::selectable()
{
    return type == ITEM_UNSELECTED || type == ITEM_SELECTED;
}

void QV_ITEM::click(ITEM* item)
{
    if (selectable()) {
        type = type == ITEM_SELECTED ? ITEM_UNSELECTED : ITEM_SELECTED;
        set_info(item, get_name(), get_description());
    }
    if (action != nullptr)
        action(item);
}

ITEM* make_item(QV_ITEM* line)
{
    char* name = strdup(line->get_name().c_str());
    char* description = strdup(line->get_description().c_str());
    ITEM* item = new_item(name, description);
    // The library keeps no empty description: that copy would be lost.
    if (item == nullptr || item->description.str != description)
        try_free(description);
    if (item == nullptr)
        try_free(name);
    set_item_userptr(item, line);
    return item;
}

void try_free(void* pointer)
{
    if (pointer != nullptr)
        free(pointer);
}

void set_info(ITEM* item, std::string name, std::string description)
{
    char* name_copy = strdup(name.c_str());
    char* description_copy = strdup(description.c_str());
    try_free(const_cast<char*>(item->name.str));
    try_free(const_cast<char*>(item->description.str));
    item->name.str = name_copy;
    item->description.str = description_copy;
    item->name.length = static_cast<unsigned short>(strlen(name_copy));
    item->description.length = static_cast<unsigned short>(strlen(description_copy));
}

void mouse_event_position(const MouseEventRoom& event, int abi, int* y, int* x)
{
    if (abi == 5) {
        *y = event.abi5.y;
        *x = event.abi5.x;
    } else {
        *y = event.abi6.y;
        *x = event.abi6.x;
    }
}

Menu::Menu(std::string title, std::vector<QV_ITEM*> items)
{
    int lines = w_stdscr != nullptr ? w_stdscr->_maxy + 1 : -1;
    int cols = w_stdscr != nullptr ? w_stdscr->_maxx + 1 : -1;

    sub_win = derwin(w_stdscr, lines - 1, cols - 1, 1, 1);
    panel = new_panel(sub_win);

    for (QV_ITEM* line : items)
        curses_items.push_back(make_item(line));
    curses_items.push_back(nullptr);

    menu = new_menu(curses_items.data());
    set_menu_sub(menu, sub_win);
    set_menu_mark(menu, " ");

    if (cols > 0 && title.size() < static_cast<size_t>(cols))
        title.append(static_cast<size_t>(cols) - title.size(), ' ');
    this->title = title;

    set_menu_format(menu, 32, 1);
    int rows = 0;
    int columns = 0;
    menu_format(menu, &rows, &columns);
    if (rows >= lines)
        set_menu_format(menu, lines - 2, 1);
}

Menu::~Menu() = default;

bool Menu::display(void*, bool esc_ends)
{
    const uint8_t n = static_cast<uint8_t>(item_count(menu));
    bool ended_by_escape = false;

    wclear(sub_win);
    keypad(sub_win, TRUE);
    post_menu(menu);
    top_panel(panel);
    show_panel(panel);
    keypad(sub_win, TRUE);
    set_escdelay(0);
    const int cursor = curs_set(0);
    if (curses_items.size() > 4)
        set_current_item(menu, curses_items[4]);

    auto move = [this](int request, int times) {
        for (int step = 0; step < times; step++) {
            menu_driver(menu, request);
            refresh();
        }
    };
    // Runs the line's click and redraws: the down-and-back move makes the
    // library draw the lines again, so a changed box shows.
    auto click_line = [this](ITEM* item) {
        QV_ITEM* line = static_cast<QV_ITEM*>(item_userptr(item));
        line->click(item);
        if (menu_driver(menu, REQ_DOWN_ITEM) == E_OK)
            menu_driver(menu, REQ_UP_ITEM);
        refresh();
    };

    while (status) {
        post_menu(menu);
        top_panel(panel);
        show_panel(panel);
        if (wmove(w_stdscr, 0, 0) != ERR)
            waddnstr(w_stdscr, title.c_str(), -1);
        refresh();
        mousemask(0x7ffffff, nullptr);

        errno = 0;
        const int key = wgetch(sub_win);
        const int read_error = errno;
        const int i = item_index(current_item(menu));

        switch (key) {
        case ERR:
            // End of input or a terminal that has gone away: no key will
            // ever come, so leave as the Exit line does. A read interrupted
            // by a signal is only retried.
            if (read_error != EINTR)
                status = false;
            break;
        case KEY_DOWN:
            if (i == n - 5)
                move(REQ_DOWN_ITEM, 3);
            else
                move(REQ_DOWN_ITEM, 1);
            break;
        case KEY_UP:
            if (i == 4)
                break;
            if (i == n - 2)
                move(REQ_UP_ITEM, 3);
            else
                move(REQ_UP_ITEM, 1);
            break;
        case KEY_ENTER:
        case '\n':
        case '\r':
        case ' ': {
            ITEM* item = current_item(menu);
            refresh();
            doupdate();
            if (static_cast<uint8_t>(item_index(item) + 1) == n) {
                status = false;
                break;
            }
            click_line(item);
            break;
        }
        case 27:
            if (esc_ends) {
                status = false;
                ended_by_escape = true;
            }
            break;
        case KEY_MOUSE: {
            MouseEventRoom event;
            memset(&event, 0, sizeof event);
            if (getmouse(&event.abi6) != OK)
                break;
            int y = 0;
            int x = 0;
            mouse_event_position(event, qv_curses_abi(), &y, &x);
            if (!wenclose(sub_win, y, x))
                break;
            wmouse_trafo(sub_win, &y, &x, FALSE);
            // The window row shows the line top_row + row, and only the
            // rows of the menu's format show lines at all.
            int rows = 0;
            int columns = 0;
            menu_format(menu, &rows, &columns);
            if (y < 0 || y >= rows)
                break;
            const int line = top_row(menu) + y;
            if (line == n - 1) {
                set_current_item(menu, curses_items[line]);
                status = false;
            } else if (line <= 3 || line == n - 4 || line == n - 3 || line >= n) {
                // plain lines and the rows below the last line
            } else {
                set_current_item(menu, curses_items[line]);
                click_line(curses_items[line]);
            }
            break;
        }
        default:
            break;
        }
    }

    if (cursor != ERR)
        curs_set(cursor);
    unpost_menu(menu);
    wclear(sub_win);
    hide_panel(panel);
    update_panels();
    doupdate();
    return esc_ends && ended_by_escape;
}
