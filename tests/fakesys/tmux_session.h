// A program on a terminal screen for end-to-end tests: tmux, on a server
// socket of the test's own (so tests run in parallel), runs one command in a
// detached session of a fixed size; the test types keys and reads the screen.
// The pane stays after the command ends, so its last screen can still be read.
// capture-pane drops the trailing blanks of each row.
#pragma once

#include <string>
#include <vector>

#include "fakesys.h"

namespace fakesys {

class TmuxSession {
public:
    // Starts argv (e.g. FakeSystem::ToolArgv({...})) in the fake system's
    // working directory, with the runs' PATH, on a cols x rows screen.
    // A failure to start fails the test and leaves ok() false.
    TmuxSession(const FakeSystem& fs, const std::vector<std::string>& argv, int cols = 100, int rows = 30,
                const std::vector<std::string>& env = {});
    ~TmuxSession();  // ends the tmux server and whatever still runs in it
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    bool ok() const { return ok_; }

    // tmux key names, one key each: "Down", "Up", "Enter", "Escape", "Space", "C-j", "a", ...
    void SendKeys(const std::vector<std::string>& keys) const;
    // Bytes typed as they are (e.g. a terminal mouse sequence "\x1b[M ...").
    void SendLiteral(const std::string& bytes) const;
    // The screen now, one line per row, trailing blanks removed.
    std::string Screen() const;
    // Polls the screen until text shows; false (and the screen in the
    // failure message) after timeout_ms.
    bool WaitForText(const std::string& text, int timeout_ms = 10000) const;
    // Waits for the command to end. Its exit status (0-255), or -1 when it
    // is still running after timeout_ms.
    int WaitExit(int timeout_ms = 30000) const;

private:
    RunResult Tmux(const std::vector<std::string>& args) const;

    const FakeSystem& fs_;
    bool ok_ = false;
    std::string socket_;
    std::string status_file_;
};

} // namespace fakesys
