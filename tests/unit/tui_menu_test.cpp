// Menu lines: display texts, check-box toggles, menu-library items, and the
// mouse event layouts of the two curses ABIs.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <string>
#include <vector>

#include "qv_menu.h"

namespace {

TEST(MenuLine, DisplayTextHasBoxPrefix)
{
    struct Case {
        ITEM_TYPE type;
        std::string name;
        std::string shown;
        bool selectable;
    };
    const std::vector<Case> cases = {
        {ITEM_SELECTED, "| A |", "[*] | A |", true},
        {ITEM_UNSELECTED, "| A |", "[ ] | A |", true},
        {ITEM_PLAIN, "Exit", "    Exit", false},
        {ITEM_PLAIN, "", "    ", false},
        {ITEM_SELECTED, "", "[*] ", true},
        // A type outside the three kinds shows as a plain line.
        {static_cast<ITEM_TYPE>(7), "Exit", "    Exit", false},
    };
    for (const Case& c : cases) {
        QV_ITEM line(c.type, c.name, "", nullptr);
        EXPECT_EQ(line.get_name(), c.shown) << c.name;
        EXPECT_EQ(line.selectable(), c.selectable) << c.name;
    }
}

// Frees an item made by make_item and its two texts (the program itself
// keeps its items until it ends).
void drop_item(ITEM* item)
{
    try_free(const_cast<char*>(item->name.str));
    try_free(const_cast<char*>(item->description.str));
    free(item);
}

// What the action saw when it ran.
struct Seen {
    int calls = 0;
    void* item = nullptr;
    ITEM_TYPE type = ITEM_PLAIN;
    std::string text;
};
Seen seen;

bool record_action(void* item)
{
    ITEM* curses_item = static_cast<ITEM*>(item);
    QV_ITEM* line = static_cast<QV_ITEM*>(item_userptr(curses_item));
    seen.calls++;
    seen.item = item;
    seen.type = line->get_type();
    seen.text = std::string(curses_item->name.str, curses_item->name.length);
    return false;
}

TEST(MenuLine, ClickSwapsBoxThenRunsActionWithItsItem)
{
    seen = Seen();
    QV_ITEM line(ITEM_SELECTED, "| ZK-R610 | 0000:01:00.0 |", "", record_action);
    ITEM* item = make_item(&line);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item_userptr(item), &line);
    EXPECT_STREQ(item->name.str, "[*] | ZK-R610 | 0000:01:00.0 |");
    const unsigned short length = item->name.length;

    line.click(item);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.item, item);
    EXPECT_EQ(seen.type, ITEM_UNSELECTED);
    EXPECT_EQ(seen.text, "[ ] | ZK-R610 | 0000:01:00.0 |");
    EXPECT_EQ(item->name.length, length);

    line.click(item);
    EXPECT_EQ(seen.calls, 2);
    EXPECT_EQ(seen.type, ITEM_SELECTED);
    EXPECT_STREQ(item->name.str, "[*] | ZK-R610 | 0000:01:00.0 |");
    EXPECT_EQ(item->name.length, length);
    drop_item(item);
}

TEST(MenuLine, PlainLineOnlyRunsItsAction)
{
    seen = Seen();
    QV_ITEM upgrade(ITEM_PLAIN, "Upgrade", "", record_action);
    ITEM* item = make_item(&upgrade);
    upgrade.click(item);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(upgrade.get_type(), ITEM_PLAIN);
    EXPECT_STREQ(item->name.str, "    Upgrade");

    QV_ITEM blank(ITEM_PLAIN, "", "", nullptr);
    ITEM* blank_item = make_item(&blank);
    ASSERT_NE(blank_item, nullptr) << "a blank line still needs a menu item";
    blank.click(blank_item);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_STREQ(blank_item->name.str, "    ");
    drop_item(item);
    drop_item(blank_item);
}

TEST(MenuLine, SetInfoReplacesBothTexts)
{
    QV_ITEM line(ITEM_PLAIN, "old", "", nullptr);
    ITEM* item = make_item(&line);
    set_info(item, "a new name", "desc");
    EXPECT_STREQ(item->name.str, "a new name");
    EXPECT_EQ(item->name.length, 10);
    EXPECT_STREQ(item->description.str, "desc");
    EXPECT_EQ(item->description.length, 4);
    drop_item(item);
}

// Under ABI 5 on a 64-bit machine the library writes a mouse event with an
// unsigned long button state: more bytes than the ABI 6 headers' MEVENT.
// The menu hands getmouse room for that layout and reads the position from
// the layout in use.
TEST(MouseEvent, Abi5LibraryWritesTheWiderLayout)
{
    void* tinfo = dlopen("libtinfo.so.5", RTLD_LAZY | RTLD_GLOBAL);
    void* lib = dlopen("libncursesw.so.5", RTLD_LAZY);
    if (lib == nullptr || tinfo == nullptr)
        GTEST_SKIP() << "no ABI 5 curses library";
    using newterm_t = void* (*)(const char*, FILE*, FILE*);
    using mousemask_t = unsigned long (*)(unsigned long, unsigned long*);
    using event_t = int (*)(void*);
    auto lib_newterm = reinterpret_cast<newterm_t>(dlsym(lib, "newterm"));
    auto lib_mousemask = reinterpret_cast<mousemask_t>(dlsym(lib, "mousemask"));
    auto lib_ungetmouse = reinterpret_cast<event_t>(dlsym(lib, "ungetmouse"));
    auto lib_getmouse = reinterpret_cast<event_t>(dlsym(lib, "getmouse"));
    ASSERT_TRUE(lib_newterm && lib_mousemask && lib_ungetmouse && lib_getmouse);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE* in = fdopen(fds[0], "r");
    FILE* out = fopen("/dev/null", "w");
    ASSERT_NE(lib_newterm("xterm", out, in), nullptr);
    lib_mousemask(0x7ffffff, nullptr);

    MEVENT_ABI5 pushed = {};
    pushed.x = 17;
    pushed.y = 9;
    pushed.bstate = 0x4; // button 1 clicked
    ASSERT_EQ(lib_ungetmouse(&pushed), OK);

    unsigned char buffer[sizeof(MouseEventRoom) + 8];
    memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(lib_getmouse(buffer), OK);
    size_t written = sizeof buffer;
    while (written > 0 && buffer[written - 1] == 0xAA)
        written--;
    EXPECT_GT(written, sizeof(MEVENT)) << "the ABI 5 event is wider than the ABI 6 one";
    EXPECT_LE(written, sizeof(MouseEventRoom));

    MouseEventRoom room;
    memcpy(&room, buffer, sizeof room);
    int y = -1;
    int x = -1;
    mouse_event_position(room, 5, &y, &x);
    EXPECT_EQ(y, 9);
    EXPECT_EQ(x, 17);
}

} // namespace
