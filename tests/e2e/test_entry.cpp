// Program entry through the real binary: help, command-line errors, the root
// check and "--version".
#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include "fakesys.h"
#include "log_expect.h"
#include "../sim/board_map.h"

using fakesys::FakeSystem;
using fakesys::RunOptions;

namespace {

const std::string kRunLock = "/run/qvfw-tool.lock";

// A JQ chip at 0000:01:00.0, with its firmware version 1.0.2 when versioned.
fakesys::PciFunction OneBoard(bool versioned = false)
{
    fakesys::PciFunction board;
    board.bdf = "0000:01:00.0";
    if (versioned)
        board.regs[board_map::FW_VERSION_REG_JQ] = 0x01000002;
    return board;
}

RunOptions AsUser(bool nobody)
{
    RunOptions o;
    o.as_nobody = nobody;
    return o;
}

struct UserCase {
    std::vector<std::string> args;
    bool nobody;
};

std::string Describe(const std::vector<std::string>& args, bool nobody)
{
    std::string text = nobody ? "as nobody:" : "as root:";
    for (const std::string& a : args)
        text += " " + a;
    return text;
}

} // namespace

TEST(Entry, HelpShowsDescriptionAndEveryFlagForAnyUser)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::vector<std::string> expected = {
        "Brenvoda Nudra GPU Firmware Tool.",
        "--silent",    "Performs an upgrades with no further user-input.",
        "--sram-mode", "Upgrade firmware by SCPU SRAM.",
        "-l",          "--list", "List GPU.",
        "-v",          "--version", "Print version information.",
        "-h",          "--help", "Print this help message and exit.",
    };
    for (const UserCase& c : std::vector<UserCase>{{{"-h"}, false}, {{"--help"}, false}, {{"-h"}, true},
                                                   {{"--help", "--version"}, true}}) {
        SCOPED_TRACE(Describe(c.args, c.nobody));
        auto r = fs.Run(c.args, AsUser(c.nobody));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        for (const std::string& text : expected)
            EXPECT_NE(r.out.find(text), std::string::npos) << "missing \"" << text << "\" in:\n" << r.out;
        EXPECT_EQ(r.out.find("version: 2.0.1"), std::string::npos);
        EXPECT_FALSE(FakeSystem::Exists(e2e::kLogDir));
    }
}

TEST(Entry, BadCommandLineIsAnsweredByTheParserBeforeTheRootCheck)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    struct Case {
        std::vector<std::string> args;
        std::string named;  // what the parser's message must name
    };
    const int extras = static_cast<int>(CLI::ExitCodes::ExtrasError);
    for (const Case& c : std::vector<Case>{{{"--bogus"}, "--bogus"},
                                           {{"-x"}, "-x"},
                                           {{"firmware.hex"}, "firmware.hex"},
                                           {{"--version", "extra"}, "extra"}}) {
        for (bool nobody : {false, true}) {
            SCOPED_TRACE(Describe(c.args, nobody));
            auto r = fs.Run(c.args, AsUser(nobody));
            EXPECT_EQ(r.status, extras);
            EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
            EXPECT_EQ(r.out.find("Requires root privileges."), std::string::npos);
            EXPECT_EQ(r.out.find("version: 2.0.1"), std::string::npos);
            EXPECT_FALSE(FakeSystem::Exists(e2e::kLogDir));
        }
    }
}

TEST(Entry, NonRootIsRefusedWithoutLogging)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const fakesys::PciFunction board = OneBoard();
    fs.AddPci(board);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--version"}, {"--list"}, {"--silent", "--sram-mode"}}) {
        SCOPED_TRACE(Describe(args, true));
        auto r = fs.Run(args, AsUser(true));
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Requires root privileges.\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(FakeSystem::Exists(e2e::kLogDir));
        EXPECT_TRUE(fs.SetpciCalls().empty());
    }
}

// "--version" wins over every other flag, touches no board, and leaves the log
// file with the run header and the version line but no closing line.
TEST(Entry, VersionPrintsOnlyTheVersionLineAndLogsIt)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const fakesys::PciFunction board = OneBoard();
    fs.AddPci(board);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"-v"}, {"--version", "--list"}, {"-l", "-v", "--silent", "--sram-mode"}}) {
        SCOPED_TRACE(Describe(args, false));
        std::error_code ec;
        std::filesystem::remove_all(e2e::kLogDir, ec);
        time_t before = time(nullptr);
        auto r = fs.Run(args);
        time_t after = time(nullptr);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, e2e::kVersionOut);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(fs.SetpciCalls().empty());
        EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), std::vector<std::string>{"qvfw-tool.log"});
        e2e::ExpectHeaderThen(FakeSystem::ReadFile(e2e::kLogFile), before, after,
                              "[   record]  " + e2e::kVersionOut);
    }
}

// The programs that the run starts see TERM=screen, whatever TERM it inherited.
TEST(Entry, RunSetsTermToScreen)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const fakesys::PciFunction board = OneBoard();
    fs.AddPci(board);
    const std::string seen = fs.ScratchDir() + "/term-seen";
    fs.SetStandIn("setpci", "printf '%s\\n' \"$TERM\" >> '" + seen + "'");
    RunOptions o;
    o.env = {"TERM=xterm-256color"};
    auto r = fs.Run({"--list"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(fs.SetpciCalls().empty());
    std::string expected;
    for (size_t i = 0; i < fs.SetpciCalls().size(); ++i)
        expected += "screen\n";
    EXPECT_EQ(FakeSystem::ReadFile(seen), expected);
}

namespace {

// The argv that runs the tool with args, its standard descriptors in `closed`
// closed by the shell that starts it.
std::vector<std::string> WithClosed(const std::vector<int>& closed, const std::vector<std::string>& args)
{
    std::string script = "exec \"$@\"";
    for (int fd : closed)
        script += " " + std::to_string(fd) + (fd == 0 ? "<&-" : ">&-");
    std::vector<std::string> argv = {"sh", "-c", script, "sh"};
    for (const std::string& a : FakeSystem::ToolArgv(args))
        argv.push_back(a);
    return argv;
}

// The log file's text after its run header.
std::string AfterHeader(const std::string& log)
{
    size_t marker = log.find("\n_day_");
    size_t end = marker == std::string::npos ? std::string::npos : log.find("\n\n", marker + 1);
    return end == std::string::npos ? std::string() : log.substr(end + 2);
}

} // namespace

// Started with standard descriptors closed, the run first opens them on
// /dev/null: the log file and the board's resource files get numbers of their
// own, so neither receives terminal text.
TEST(Entry, ClosedStandardDescriptorsReceiveNoFile)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const fakesys::PciFunction board = OneBoard(true);
    fs.AddPci(board);
    const std::string window0 = FakeSystem::PciPath(board.bdf) + "/resource0";
    const std::string window2 = FakeSystem::PciPath(board.bdf) + "/resource2";
    const std::string bytes0 = FakeSystem::ReadFile(window0);
    const std::string bytes2 = FakeSystem::ReadFile(window2);

    // "--list" writes to standard output; "--silent" without a firmware file
    // to standard error. Each with every descriptor open gives the reference.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"--list"}, {"--silent"}}) {
        std::error_code ec;
        std::filesystem::remove_all(e2e::kLogDir, ec);
        auto reference = fs.Run(args);
        ASSERT_NE(reference.out + reference.err, "");
        const std::string body = AfterHeader(FakeSystem::ReadFile(e2e::kLogFile));
        ASSERT_NE(body, "");
        for (const std::vector<int>& closed : std::vector<std::vector<int>>{{1}, {2}, {0, 1, 2}}) {
            std::string what = Describe(args, false) + ", closed:";
            for (int fd : closed)
                what += " " + std::to_string(fd);
            SCOPED_TRACE(what);
            std::filesystem::remove_all(e2e::kLogDir, ec);
            time_t before = time(nullptr);
            auto r = fs.RunProgram(WithClosed(closed, args));
            time_t after = time(nullptr);
            EXPECT_EQ(r.status, reference.status);
            bool out_closed = std::find(closed.begin(), closed.end(), 1) != closed.end();
            bool err_closed = std::find(closed.begin(), closed.end(), 2) != closed.end();
            EXPECT_EQ(r.out, out_closed ? "" : reference.out);
            EXPECT_EQ(r.err, err_closed ? "" : reference.err);
            EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), std::vector<std::string>{"qvfw-tool.log"});
            e2e::ExpectHeaderThen(FakeSystem::ReadFile(e2e::kLogFile), before, after, body);
            EXPECT_TRUE(FakeSystem::ReadFile(window0) == bytes0) << "resource0 changed";
            EXPECT_TRUE(FakeSystem::ReadFile(window2) == bytes2) << "resource2 changed";
        }
    }
}

// One run at a time: a run holds the run lock for its life, and another run
// refuses at once, before it touches a log file or a board. The lock goes with
// the process that held it, also when it is killed, and no program that a run
// started keeps it.
TEST(Entry, SecondRunIsRefusedWhileALockIsHeld)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const fakesys::PciFunction board = OneBoard();
    fs.AddPci(board);
    // A file of another day: a run that got past the lock would empty the
    // directory and start a new file.
    const int other_day = e2e::Today() % 28 + 1;
    const std::string old_log = "\n\n-------- Current time is: 2026-01-01 08:00:00 --------\n\nCurrent day is: \n_day_" +
                                std::to_string(other_day) + "\n\nold\n";
    FakeSystem::WriteFile(e2e::kLogDir + "/old.log", old_log);

    int holder = open(kRunLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--version"}, {"--list"}, {"--silent", "--sram-mode"}}) {
        SCOPED_TRACE(Describe(args, false));
        auto r = fs.Run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Another qvfw-tool is running.\n");
        EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), std::vector<std::string>{"old.log"});
        EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogDir + "/old.log"), old_log);
        EXPECT_TRUE(fs.SetpciCalls().empty());
    }
    // Help and the root refusal come first, as ever.
    auto help = fs.Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Print this help message and exit."), std::string::npos);
    auto nobody = fs.Run({"--version"}, AsUser(true));
    EXPECT_EQ(nobody.status, 255);
    EXPECT_EQ(nobody.out, "Requires root privileges.\n");
    EXPECT_EQ(nobody.err, "");
    close(holder);

    // A run killed while a program it started lives on leaves no lock behind.
    const std::string pid_file = fs.ScratchDir() + "/tool.pid";
    const std::string sleeper_file = fs.ScratchDir() + "/sleeper.pid";
    fs.SetStandIn("setpci", "sleep 60 </dev/null >/dev/null 2>&1 & echo $! > '" + sleeper_file +
                                "'; kill -KILL \"$(cat '" + pid_file + "')\"");
    std::vector<std::string> argv = {"sh", "-c", "echo $$ > '" + pid_file + "'; exec \"$@\"", "sh"};
    for (const std::string& a : FakeSystem::ToolArgv({"--list"}))
        argv.push_back(a);
    auto killed = fs.RunProgram(argv);
    EXPECT_TRUE(killed.signaled);
    EXPECT_EQ(killed.signal, SIGKILL);
    fs.SetStandIn("setpci");
    auto after = fs.Run({"--version"});
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(after.out, e2e::kVersionOut);
    std::string sleeper = FakeSystem::ReadFile(sleeper_file);
    if (!sleeper.empty())
        kill(std::stoi(sleeper), SIGKILL);
}

namespace {

// Shell text that makes the file held and then waits, at most 300 s, until the
// file release appears.
std::string HoldUntil(const std::string& held, const std::string& release)
{
    return ": > '" + held + "'; i=0; while [ ! -e '" + release +
           "' ] && [ $i -lt 3000 ]; do sleep 0.1; i=$((i+1)); done";
}

// A run in a thread of its own that holds on inside by the shell text of
// HoldUntil(held, release), until Release. Every wait is on a file.
class HeldRun {
public:
    HeldRun(std::function<fakesys::RunResult()> run, std::string held, std::string release)
        : held_(std::move(held)), release_(std::move(release)), thread_([this, run] {
              result_ = run();
              done_ = true;
          })
    {
    }
    ~HeldRun() { Release(); }

    // Waits, at most 300 s, until the run holds; false when it ended or never got there.
    bool Inside()
    {
        const time_t deadline = time(nullptr) + 300;
        while (!FakeSystem::Exists(held_) && !done_ && time(nullptr) <= deadline)
            usleep(10 * 1000);
        return FakeSystem::Exists(held_);
    }

    // Lets the run go on, waits for its end and gives its result.
    const fakesys::RunResult& Release()
    {
        if (thread_.joinable()) {
            FakeSystem::WriteFile(release_, "");
            thread_.join();
        }
        return result_;
    }

private:
    std::string held_;
    std::string release_;
    fakesys::RunResult result_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace

// Two real runs at once. The first is held inside its board discovery by a
// setpci that waits for the test; while it is held, a second run refuses at
// once and touches nothing: no setpci call of its own, no log line, no new log
// file. Released, the first run completes as a run on its own does.
TEST(Entry, SecondRunIsRefusedWhileAnotherRunIsInside)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const fakesys::PciFunction board = OneBoard(true);
    fs.AddPci(board);
    auto reference = fs.Run({"--list"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_NE(reference.out.find("NUM  DEVICE"), std::string::npos) << reference.out;
    const size_t reference_calls = fs.SetpciCalls().size();
    ASSERT_GT(reference_calls, 0u);
    std::error_code ec;
    std::filesystem::remove_all(e2e::kLogDir, ec);

    // Only the first setpci call to claim the hold waits, so that a second run
    // that got past the lock would record its calls and go on.
    const std::string claim = fs.ScratchDir() + "/claimed";
    const std::string held = fs.ScratchDir() + "/held";
    const std::string release = fs.ScratchDir() + "/release";
    fs.SetStandIn("setpci", "if mkdir '" + claim + "' 2>/dev/null; then " + HoldUntil(held, release) + "; fi");
    const size_t calls_before = fs.SetpciCalls().size();

    RunOptions patient;
    patient.timeout_sec = 600;
    HeldRun run([&] { return fs.Run({"--list"}, patient); }, held, release);
    const bool inside = run.Inside();
    EXPECT_TRUE(inside) << "the first run never reached setpci";
    if (inside) {
        const std::vector<std::string> files = FakeSystem::ListDir(e2e::kLogDir);
        EXPECT_EQ(files, std::vector<std::string>{"qvfw-tool.log"});
        const std::string log = FakeSystem::ReadFile(e2e::kLogFile);
        EXPECT_EQ(fs.SetpciCalls().size(), calls_before + 1);
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"--list"}, {"--version"}, {"--silent"}}) {
            SCOPED_TRACE(Describe(args, false));
            auto second = fs.Run(args);
            EXPECT_EQ(second.status, 255);
            EXPECT_EQ(second.out, "");
            EXPECT_EQ(second.err, "Another qvfw-tool is running.\n");
            EXPECT_EQ(fs.SetpciCalls().size(), calls_before + 1);
            EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), files);
            EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogFile), log);
        }
    }
    const fakesys::RunResult& first = run.Release();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, reference.out);
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(fs.SetpciCalls().size(), calls_before + reference_calls);
}

namespace {

struct FileState {
    bool exists = false;
    unsigned mode = 0;
    uid_t owner = 0;
    std::string content;
};

FileState StateOf(const std::string& path)
{
    FileState s;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return s;
    s.exists = true;
    s.mode = st.st_mode;
    s.owner = st.st_uid;
    if (S_ISREG(st.st_mode))
        s.content = FakeSystem::ReadFile(path);
    return s;
}

} // namespace

// Whatever stands at the lock path other than a root-owned regular file
// refuses the run with status 255 and the reason, before any log file or
// board is touched; a link there is not followed.
TEST(Entry, UnusableRunLockRefusesTheRun)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const fakesys::PciFunction board = OneBoard();
    fs.AddPci(board);
    const std::string target = "/run/target";
    const std::string missing = "/run/missing";
    struct Case {
        const char* what;
        std::string reason;
    };
    for (const Case& c : std::vector<Case>{{"link to a file", "Too many levels of symbolic links"},
                                           {"dangling link", "Too many levels of symbolic links"},
                                           {"FIFO", "not a regular file"},
                                           {"directory", "Is a directory"},
                                           {"file of another owner", "not owned by root"}}) {
        SCOPED_TRACE(c.what);
        const std::string what = c.what;
        std::error_code ec;
        for (const std::string& path : {kRunLock, target, missing, e2e::kLogDir})
            std::filesystem::remove_all(path, ec);
        FakeSystem::WriteFile(target, "target\n", 0644);
        if (what == "link to a file") {
            ASSERT_EQ(symlink(target.c_str(), kRunLock.c_str()), 0);
        } else if (what == "dangling link") {
            ASSERT_EQ(symlink(missing.c_str(), kRunLock.c_str()), 0);
        } else if (what == "FIFO") {
            ASSERT_EQ(mkfifo(kRunLock.c_str(), 0600), 0);
        } else if (what == "directory") {
            FakeSystem::MakeDirs(kRunLock, 0700);
        } else {
            FakeSystem::WriteFile(kRunLock, "", 0644);
            ASSERT_EQ(chown(kRunLock.c_str(), 65534, 65534), 0);
        }
        const FileState lock_before = StateOf(kRunLock);
        const FileState target_before = StateOf(target);

        auto r = fs.Run({"--list"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Failed to take the run lock /run/qvfw-tool.lock: " + c.reason + "\n");
        EXPECT_FALSE(FakeSystem::Exists(e2e::kLogDir));
        EXPECT_TRUE(fs.SetpciCalls().empty());
        const FileState lock_after = StateOf(kRunLock);
        EXPECT_EQ(lock_after.mode, lock_before.mode);
        EXPECT_EQ(lock_after.owner, lock_before.owner);
        const FileState target_after = StateOf(target);
        EXPECT_EQ(target_after.mode, target_before.mode);
        EXPECT_EQ(target_after.content, "target\n");
        EXPECT_FALSE(FakeSystem::Exists(missing));
    }
}

// The lock is a root-owned file of mode 0600, so that no other user can open
// it, even one left by others with a wider mode; the log directory, which any
// user can open, is no lock: a plain user holding it does not stop a run.
TEST(Entry, RunLockIsOpenToRootOnly)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    for (bool left_open : {false, true}) {
        SCOPED_TRACE(left_open ? "lock file of mode 0666 left behind" : "no lock file");
        std::error_code ec;
        std::filesystem::remove(kRunLock, ec);
        if (left_open)
            FakeSystem::WriteFile(kRunLock, "", 0666);
        auto r = fs.Run({"--version"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, e2e::kVersionOut);
        const FileState lock = StateOf(kRunLock);
        EXPECT_TRUE(S_ISREG(lock.mode));
        EXPECT_EQ(lock.mode & 07777, 0600u);
        EXPECT_EQ(lock.owner, 0u);
        RunOptions nobody = AsUser(true);
        auto taken = fs.RunProgram({"flock", "-n", kRunLock, "true"}, nobody);
        EXPECT_NE(taken.status, 0) << "nobody could hold the lock";
    }

    // nobody holds the log directory until the test releases it.
    const std::string held = fs.WorkDir() + "/held";
    const std::string release = fs.WorkDir() + "/release";
    RunOptions nobody = AsUser(true);
    nobody.timeout_sec = 600;
    HeldRun hold(
        [&] { return fs.RunProgram({"flock", "-n", e2e::kLogDir, "sh", "-c", HoldUntil(held, release)}, nobody); },
        held, release);
    const bool holding = hold.Inside();
    EXPECT_TRUE(holding) << "nobody never held the log directory";
    if (holding) {
        auto r = fs.Run({"--version"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, e2e::kVersionOut);
        EXPECT_EQ(r.err, "");
    }
    const fakesys::RunResult& holder = hold.Release();
    EXPECT_EQ(holder.status, 0) << holder.err;
}
