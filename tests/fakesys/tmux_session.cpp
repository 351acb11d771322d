// The tmux screen of the end-to-end tests: see tmux_session.h.
#include "tmux_session.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
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

using Clock = std::chrono::steady_clock;

// The first line of a /proc file, read with one plain read().
std::string ProcLine(const std::string& path)
{
    char buf[256];
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return "";
    buf[n] = '\0';
    return std::string(buf, strcspn(buf, "\n"));
}

// The number of read() on the machine's kernel. A program under user-mode
// emulation makes the host's system calls, whose numbers differ from those
// of the machine it was built for; the number shows in /proc/self/syscall
// while that very file is being read.
long KernelReadNumber()
{
    static const long number = std::atol(ProcLine("/proc/self/syscall").c_str());
    return number;
}

// The parent process ID in <proc>/<pid>/stat; 0 when unknown.
int ParentPid(const std::string& proc, const std::string& pid)
{
    std::string stat = FakeSystem::ReadFile(proc + "/" + pid + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size())
        return 0;
    return std::atoi(stat.c_str() + close + 4);
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
    r = Tmux({"display-message", "-p", "-t", "main", "#{pane_pid} #{pane_tty}"});
    std::istringstream pane(r.out);
    std::string tty;
    if (!(pane >> pane_pid_ >> tty)) {
        ADD_FAILURE() << "tmux names no pane process and terminal: " << r.out << r.err;
        return;
    }
    // Blocking: one write of a marker then goes out whole, never in between
    // the bytes of one write of the program.
    tty_fd_ = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty_fd_ < 0) {
        ADD_FAILURE() << "opening the pane's terminal " << tty << ": " << strerror(errno);
        return;
    }
    ok_ = true;
}

TmuxSession::~TmuxSession()
{
    if (tty_fd_ >= 0)
        close(tty_fd_);
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

int TmuxSession::ExitStatus() const
{
    std::string text = FakeSystem::ReadFile(status_file_);
    if (!text.empty() && text.back() == '\n')
        return std::atoi(text.c_str());
    return -1;
}

int TmuxSession::CommandPid() const
{
    if (command_pid_ != 0)
        return command_pid_;
    const std::string proc = fs_.HostProcDir();
    for (const std::string& name : FakeSystem::ListDir(proc)) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (ParentPid(proc, name) == pane_pid_) {
            command_pid_ = std::atoi(name.c_str());
            break;
        }
    }
    return command_pid_;
}

bool TmuxSession::WaitsForInput() const
{
    int pid = CommandPid();
    if (pid == 0)
        return false;
    // "<number> <first argument> ..." while it is in a system call, "running"
    // otherwise. A sleep with a time-out (curses waiting out a double click)
    // is not a wait for input: the program acts when it ends.
    std::istringstream call(ProcLine(fs_.HostProcDir() + "/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    std::string fd;
    int unread = -1;
    return call >> number >> fd && number == KernelReadNumber() && fd == "0x0" &&
           ioctl(tty_fd_, FIONREAD, &unread) == 0 && unread == 0;
}

bool TmuxSession::Sync(int timeout_ms) const
{
    std::string title = "qvfw-sync-" + std::to_string(++syncs_);
    std::string marker = "\x1b]2;" + title + "\x1b\\";
    if (write(tty_fd_, marker.data(), marker.size()) != static_cast<ssize_t>(marker.size())) {
        ADD_FAILURE() << "writing to the pane's terminal: " << strerror(errno);
        return false;
    }
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string shown;
    do {
        shown = Tmux({"display-message", "-p", "-t", "main", "#{pane_title}"}).out;
        if (shown == title + "\n")
            return true;
        SleepMs(10);
    } while (Clock::now() < end);
    ADD_FAILURE() << "tmux did not take in the terminal's output within " << timeout_ms << " ms (title: " << shown
                  << ")";
    return false;
}

void TmuxSession::WaitIdle(int timeout_ms) const
{
    if (!ok_)
        return;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (ExitStatus() >= 0) {
            Sync(timeout_ms);
            return;
        }
        if (WaitsForInput()) {
            // The marker brings the last output onto the screen; the check
            // is made again, in case the program woke up in between.
            if (!Sync(timeout_ms))
                return;
            if (WaitsForInput())
                return;
        }
        SleepMs(20);
    } while (Clock::now() < end);
    ADD_FAILURE() << "the program did not come to wait for input within " << timeout_ms << " ms; the screen:\n"
                  << Screen();
}

int TmuxSession::WaitExit(int timeout_ms) const
{
    if (!ok_)
        return -1;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        int status = ExitStatus();
        if (status >= 0)
            return Sync(timeout_ms) ? status : -1;
        SleepMs(50);
    } while (Clock::now() < end);
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
