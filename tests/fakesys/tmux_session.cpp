// The tmux screen of the end-to-end tests: see tmux_session.h.
#include "tmux_session.h"

#include <cstdlib>
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
}

void TmuxSession::SendLiteral(const std::string& bytes) const
{
    Tmux({"send-keys", "-t", "main", "-l", bytes});
}

std::string TmuxSession::Screen() const
{
    return Tmux({"capture-pane", "-p", "-t", "main"}).out;
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

} // namespace fakesys
