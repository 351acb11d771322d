// A program on a terminal screen for end-to-end tests: tmux, on a server
// socket of the session's own (so tests and restarts run side by side), runs
// one command in a detached session of a fixed size; the test types keys,
// bytes and mouse events and reads the screen. The pane stays after the
// command ends, so its last screen can still be read.
//
// No wait assumes a speed: a wait ends on a condition (text on the screen,
// the program waiting for input, its exit), with a bound far above any
// normal run that only decides when a broken run is given up. Before a wait
// returns, a marker written to the pane's terminal has come through tmux, so
// everything the program wrote before is on the screen that is read next.
#pragma once

#include <string>
#include <vector>

#include "fakesys.h"

namespace fakesys {

class TmuxSession {
public:
    // Starts argv (e.g. FakeSystem::ToolArgv({...})) in the fake system's
    // working directory, with the runs' PATH and the extra "NAME=value"
    // entries of env, on a cols x rows screen.
    // A failure to start fails the test and leaves ok() false.
    TmuxSession(const FakeSystem& fs, const std::vector<std::string>& argv, int cols = 100, int rows = 30,
                const std::vector<std::string>& env = {});
    ~TmuxSession();  // ends the tmux server and whatever still runs in it
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    bool ok() const { return ok_; }

    // Input. Each call waits until the program is idle again (WaitIdle), so
    // that the next look at the screen sees the program's answer.
    // tmux key names, one key each: "Down", "Up", "Enter", "Escape", "Space", "C-j", "a", ...
    void SendKeys(const std::vector<std::string>& keys) const;
    // Bytes typed as they are.
    void SendBytes(const std::string& bytes) const;
    // A left-button press and release, and a wheel-up event, at a 0-based
    // screen row and column, in the terminal's X10 mouse encoding.
    void Click(int row, int col) const;
    void Wheel(int row, int col) const;

    // The screen now, one line per row, trailing blanks removed.
    std::string Screen() const;
    std::vector<std::string> Rows() const;
    // The row shown in reverse video (a menu's current line); -1 when none is.
    int CurrentRow() const;

    // Polls the screen until text shows; false (and the screen in the
    // failure message) after timeout_ms.
    bool WaitForText(const std::string& text, int timeout_ms = 60000) const;
    // Waits until the program has read every byte typed so far and waits in
    // a read of its terminal for more, or has ended, and its output is on the
    // screen.
    // Fails the test when that has not happened after timeout_ms.
    void WaitIdle(int timeout_ms = 60000) const;
    // Waits for the command to end, its output on the screen. Its exit
    // status (0-255), or -1 when it is still running after timeout_ms.
    int WaitExit(int timeout_ms = 120000) const;
    // A tmux format expanded for the pane, e.g. "#{pane_tty}" or
    // "#{alternate_on}", without its line end.
    std::string Format(const std::string& format) const;

private:
    RunResult Tmux(const std::vector<std::string>& args) const;
    // The exit status the pane's shell recorded; -1 while the command runs.
    int ExitStatus() const;
    // Process ID of the command (the pane shell's child); 0 when not found.
    int CommandPid() const;
    // True while the command is blocked reading its standard input (curses
    // and the shell read the keys that way) with no typed byte left unread.
    bool WaitsForInput() const;
    // Writes a new pane title to the terminal (an OSC 2 sequence, which the
    // screen does not show) and waits until tmux reports it: tmux then has
    // taken in all output written before it. False after timeout_ms.
    bool Sync(int timeout_ms) const;
    // The screen with its attributes as escape sequences.
    std::string ScreenWithAttributes() const;

    const FakeSystem& fs_;
    bool ok_ = false;
    std::string socket_;
    std::string status_file_;
    int pane_pid_ = 0;  // the pane's shell
    int tty_fd_ = -1;   // the pane's terminal, for its input count and the markers
    mutable int command_pid_ = 0;
    mutable int syncs_ = 0;
};

} // namespace fakesys
