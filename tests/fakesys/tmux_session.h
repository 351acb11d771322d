// A program on a terminal screen for end-to-end tests: tmux, on a server
// socket of the session's own (so tests and restarts run side by side), runs
// one command in a detached session of a fixed size; the test types keys,
// bytes and mouse events and reads the screen. The pane stays after the
// command ends, so its last screen can still be read.
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

    // Input. Each call waits until the screen is idle again (WaitIdle), so
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
    bool WaitForText(const std::string& text, int timeout_ms = 10000) const;
    // Waits until the screen, attributes included, has not changed for
    // quiet_ms (the program waits for input again); gives up after 5 s.
    void WaitIdle(int quiet_ms = 300) const;
    // Waits for the command to end. Its exit status (0-255), or -1 when it
    // is still running after timeout_ms.
    int WaitExit(int timeout_ms = 30000) const;
    // A tmux format expanded for the pane, e.g. "#{pane_tty}" or
    // "#{alternate_on}", without its line end.
    std::string Format(const std::string& format) const;

private:
    RunResult Tmux(const std::vector<std::string>& args) const;
    // The screen with its attributes as escape sequences.
    std::string ScreenWithAttributes() const;

    const FakeSystem& fs_;
    bool ok_ = false;
    std::string socket_;
    std::string status_file_;
};

} // namespace fakesys
