// The board-selection screen of an interactive run.
#pragma once

class Upgrader;

// Runs the whole screen, from the start of curses to its end.
void curses_interaction(Upgrader* upgrader);
