// The tmux screen of the end-to-end tests: see tmux_session.h.
#include "tmux_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fakesys {

namespace {

// Single-quotes a word for the shell.
std::string Quote(const std::string& word)
{
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// An X10 mouse event: ESC [ M, then the button, column and row (1-based),
// each plus 32.
std::string MouseEvent(int button, int row, int col)
{
    return std::string("\x1b[M") + static_cast<char>(32 + button) + static_cast<char>(32 + col + 1) +
           static_cast<char>(32 + row + 1);
}

} // namespace

TmuxSession::TmuxSession(const FakeSystem& fs, const std::vector<std::string>& argv, int cols, int rows,
                         const std::vector<std::string>& env)
    : fs_(fs)
{
    static int counter = 0;
    std::string tag = std::to_string(getpid()) + "-" + std::to_string(counter++);
    socket_ = fs.ScratchDir() + "/tmux-" + tag + ".sock";
    status_file_ = fs.ScratchDir() + "/tmux-" + tag + ".status";
    std::string conf = fs.ScratchDir() + "/tmux-" + tag + ".conf";
    FakeSystem::WriteFile(conf, "set -g status off\n");

    std::string command = "cd " + Quote(fs.WorkDir()) + " || exit 126;";
    for (const std::string& e : env)
        command += " export " + Quote(e) + ";";
    std::string wrapper = fs.ProcEntryWrapper();
    command += " " + (wrapper.empty() ? std::string() : Quote(wrapper) + " ");
    for (const std::string& a : argv)
        command += Quote(a) + " ";
    // The shell stays on after the command, so that its last screen can be
    // read; tmux loses output of a pane that dies at once.
    command += "; echo $? > " + Quote(status_file_) + "; exec sleep 1000000";

    RunResult r = Tmux({"-f", conf, "new-session", "-d", "-x", std::to_string(cols), "-y", std::to_string(rows),
                        "-s", "main", command});
    if (r.status != 0) {
        ADD_FAILURE() << "tmux new-session failed (" << r.status << "): " << r.err;
        return;
    }
    ok_ = true;
}

TmuxSession::~TmuxSession()
{
    Tmux({"kill-server"});
}

RunResult TmuxSession::Tmux(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv = {"tmux", "-S", socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.timeout_sec = 20;
    o.env = {"TERM=xterm"};
    return fs_.RunProgram(argv, o);
}

void TmuxSession::SendKeys(const std::vector<std::string>& keys) const
{
    for (const std::string& k : keys)
        Tmux({"send-keys", "-t", "main", k});
    WaitIdle();
}

void TmuxSession::SendBytes(const std::string& bytes) const
{
    std::vector<std::string> args = {"send-keys", "-t", "main", "-H"};
    char hex[3];
    for (unsigned char byte : bytes) {
        snprintf(hex, sizeof hex, "%02x", byte);
        args.push_back(hex);
    }
    Tmux(args);
    WaitIdle();
}

void TmuxSession::Click(int row, int col) const
{
    SendBytes(MouseEvent(0, row, col) + MouseEvent(3, row, col));
}

void TmuxSession::Wheel(int row, int col) const
{
    SendBytes(MouseEvent(64, row, col));
}

std::string TmuxSession::Screen() const
{
    return Tmux({"capture-pane", "-p", "-t", "main"}).out;
}

std::string TmuxSession::ScreenWithAttributes() const
{
    return Tmux({"capture-pane", "-p", "-e", "-t", "main"}).out;
}

std::vector<std::string> TmuxSession::Rows() const
{
    std::vector<std::string> rows;
    std::istringstream lines(Screen());
    std::string row;
    while (std::getline(lines, row)) {
        while (!row.empty() && row.back() == ' ')
            row.pop_back();
        rows.push_back(row);
    }
    return rows;
}

int TmuxSession::CurrentRow() const
{
    std::istringstream lines(ScreenWithAttributes());
    std::string row;
    for (int index = 0; std::getline(lines, row); index++)
        if (row.find("\x1b[7m") != std::string::npos)
            return index;
    return -1;
}

bool TmuxSession::WaitForText(const std::string& text, int timeout_ms) const
{
    std::string screen;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
        screen = Screen();
        if (screen.find(text) != std::string::npos)
            return true;
        SleepMs(50);
    }
    ADD_FAILURE() << "\"" << text << "\" did not show; the screen:\n" << screen;
    return false;
}

void TmuxSession::WaitIdle(int quiet_ms) const
{
    using Clock = std::chrono::steady_clock;
    std::string last = ScreenWithAttributes();
    Clock::time_point quiet_since = Clock::now();
    const Clock::time_point end = quiet_since + std::chrono::seconds(5);
    while (Clock::now() < end) {
        SleepMs(50);
        std::string now = ScreenWithAttributes();
        if (now != last) {
            last = now;
            quiet_since = Clock::now();
        } else if (Clock::now() - quiet_since > std::chrono::milliseconds(quiet_ms)) {
            return;
        }
    }
}

int TmuxSession::WaitExit(int timeout_ms) const
{
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
        std::string text = FakeSystem::ReadFile(status_file_);
        if (!text.empty() && text.back() == '\n')
            return std::atoi(text.c_str());
        SleepMs(50);
    }
    return -1;
}

std::string TmuxSession::Format(const std::string& format) const
{
    std::string text = Tmux({"display-message", "-p", "-t", "main", format}).out;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

} // namespace fakesys
