// A terminal for end-to-end runs of the board-selection screen: a tmux server
// of the test's own (its own socket, so tests run in parallel) running one
// command in a pane of a fixed size. Keys and mouse sequences go in through
// send-keys, the screen comes out through capture-pane.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class TmuxScreen {
public:
    // Starts the server and a detached session running `script` (a shell
    // script path) in a width x height pane. `socket` is the server's socket
    // path.
    TmuxScreen(std::string socket, const std::string& script, int width = 100, int height = 40)
        : socket_(std::move(socket))
    {
        ok_ = tmux("-f /dev/null new-session -d -s qv -x " + std::to_string(width) + " -y " +
                   std::to_string(height) + " 'sh " + script + "'") == 0;
    }

    ~TmuxScreen() { tmux("kill-server"); }

    bool ok() const { return ok_; }

    // The pane's text, one string per screen row, trailing blanks cut.
    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        std::string text = output("capture-pane -p -t qv");
        std::istringstream lines(text);
        std::string row;
        while (std::getline(lines, row)) {
            while (!row.empty() && row.back() == ' ')
                row.pop_back();
            rows.push_back(row);
        }
        return rows;
    }

    std::string Text() const { return output("capture-pane -p -t qv"); }

    // The screen row that shows the highlighted (current) menu line; -1
    // when no row is highlighted.
    int CurrentRow() const
    {
        std::string text = output("capture-pane -p -e -t qv");
        std::istringstream lines(text);
        std::string row;
        for (int index = 0; std::getline(lines, row); index++)
            if (row.find("\x1b[7m") != std::string::npos)
                return index;
        return -1;
    }

    // The exit status that the pane's script printed as "[exit N]" after the
    // program ended; -1 when it did not end in time.
    int ExitStatus(int timeout_ms = 20000) const
    {
        int status = -1;
        WaitFor(
            [&](const std::string& text) {
                size_t at = text.find("[exit ");
                if (at == std::string::npos)
                    return false;
                status = std::atoi(text.c_str() + at + 6);
                return true;
            },
            timeout_ms);
        return status;
    }

    // Waits until the screen satisfies the test; false on time-out.
    bool WaitFor(const std::function<bool(const std::string&)>& test, int timeout_ms = 10000) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (test(Text()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    bool WaitForText(const std::string& needle, int timeout_ms = 10000) const
    {
        return WaitFor([&](const std::string& text) { return text.find(needle) != std::string::npos; },
                       timeout_ms);
    }

    // Waits until the screen has not changed for a while (the program is
    // waiting for input again).
    void Settle(int quiet_ms = 300) const
    {
        std::string last = Text();
        auto quiet_since = std::chrono::steady_clock::now();
        auto end = quiet_since + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::string now = Text();
            if (now != last) {
                last = now;
                quiet_since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - quiet_since >
                       std::chrono::milliseconds(quiet_ms)) {
                return;
            }
        }
    }

    // A tmux key name (Down, Up, Enter, Space, Escape, C-j, C-m, ...).
    void Key(const std::string& key) const
    {
        tmux("send-keys -t qv " + key);
        Settle();
    }

    // Raw bytes to the program's terminal input.
    void Bytes(const std::vector<unsigned char>& bytes) const
    {
        std::string command = "send-keys -t qv -H";
        char hex[4];
        for (unsigned char byte : bytes) {
            snprintf(hex, sizeof hex, " %02x", byte);
            command += hex;
        }
        tmux(command);
        Settle();
    }

    // A left-button press and release at a 0-based screen row and column,
    // in the terminal's X10 mouse encoding.
    void Click(int row, int col) const
    {
        unsigned char x = static_cast<unsigned char>(32 + col + 1);
        unsigned char y = static_cast<unsigned char>(32 + row + 1);
        Bytes({0x1b, '[', 'M', 32 + 0, x, y, 0x1b, '[', 'M', 32 + 3, x, y});
    }

    // A wheel-up event at a 0-based screen row and column.
    void Wheel(int row, int col) const
    {
        unsigned char x = static_cast<unsigned char>(32 + col + 1);
        unsigned char y = static_cast<unsigned char>(32 + row + 1);
        Bytes({0x1b, '[', 'M', 32 + 64, x, y});
    }

private:
    int tmux(const std::string& args) const
    {
        return std::system(("tmux -S " + socket_ + " " + args + " >/dev/null 2>&1").c_str());
    }

    std::string output(const std::string& args) const
    {
        std::string text;
        FILE* pipe = popen(("tmux -S " + socket_ + " " + args + " 2>/dev/null").c_str(), "r");
        if (pipe == nullptr)
            return text;
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            text.append(buffer, got);
        pclose(pipe);
        return text;
    }

    std::string socket_;
    bool ok_ = false;
};
