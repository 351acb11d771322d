// Start-up check of the curses libraries, through the real binary in a
// private mount namespace where chosen libraries are made absent by binding
// an empty file over them. LD_DEBUG=libs shows which files the loader opens.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "fakesys.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tool with the given arguments and extra environment entries.
Outcome run_tool(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    int out_pipe[2];
    int err_pipe[2];
    EXPECT_EQ(pipe(out_pipe), 0);
    EXPECT_EQ(pipe(err_pipe), 0);
    // Through the emulator where the tool is built for another machine.
    std::vector<std::string> words = fakesys::FakeSystem::ToolArgv(args);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        for (const std::string& entry : env)
            putenv(const_cast<char*>(entry.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    Outcome outcome;
    // Standard error can be long under LD_DEBUG: drain both pipes together.
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open_count = 2;
    while (open_count > 0 && poll(fds, 2, -1) > 0) {
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd < 0 || fds[k].revents == 0)
                continue;
            char buffer[4096];
            ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[k]->append(buffer, static_cast<size_t>(got));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                open_count--;
            }
        }
    }
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return outcome;
}

// The file that the dynamic loader opens for a library name.
std::string library_file(const std::string& name)
{
    void* handle = dlopen(name.c_str(), RTLD_LAZY);
    if (handle == nullptr)
        return "";
    struct link_map* map = nullptr;
    std::string path;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        char real[PATH_MAX];
        if (realpath(map->l_name, real) != nullptr)
            path = real;
    }
    dlclose(handle);
    return path;
}

class CursesLoader : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a mount namespace";
        ASSERT_EQ(unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        char dir[] = "/tmp/qvfw-loader-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        scratch_ = dir;
        empty_ = scratch_ + "/empty";
        int fd = open(empty_.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
        for (const char* name : {"libtinfo", "libncursesw", "libmenuw", "libpanelw", "libformw"})
            for (int abi : {5, 6})
                if (library_file(std::string(name) + ".so." + std::to_string(abi)).empty())
                    GTEST_SKIP() << name << ".so." << abi << " is not installed";
    }

    void TearDown() override
    {
        if (!scratch_.empty())
            std::system(("rm -rf " + scratch_).c_str());
    }

    // Makes a library absent: an empty file stands where it was.
    void hide(const std::string& name)
    {
        std::string file = library_file(name);
        ASSERT_FALSE(file.empty()) << name;
        ASSERT_EQ(mount(empty_.c_str(), file.c_str(), nullptr, MS_BIND, nullptr), 0) << file;
        ASSERT_TRUE(library_file(name).empty()) << name << " still opens";
    }

    std::string scratch_;
    std::string empty_;
};

// The curses library names that LD_DEBUG=libs reports a search for.
std::vector<std::string> searched(const std::string& debug)
{
    std::vector<std::string> names;
    const std::string marker = "find library=";
    for (size_t at = debug.find(marker); at != std::string::npos; at = debug.find(marker, at + 1)) {
        size_t start = at + marker.size();
        std::string name = debug.substr(start, debug.find(' ', start) - start);
        for (const char* lib : {"libtinfo.so.", "libncursesw.so.", "libmenuw.so.", "libpanelw.so.", "libformw.so."})
            if (name.rfind(lib, 0) == 0)
                names.push_back(name);
    }
    return names;
}

bool any_of_abi(const std::vector<std::string>& names, char abi)
{
    for (const std::string& name : names)
        if (name.back() == abi)
            return true;
    return false;
}

TEST_F(CursesLoader, AllTenPresentChoosesAbi5AndOpensNoAbi6File)
{
    Outcome run = run_tool({"--help"}, {"LD_DEBUG=libs"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> names = searched(run.err);
    EXPECT_TRUE(any_of_abi(names, '5'));
    EXPECT_FALSE(any_of_abi(names, '6'));
    for (const char* name : {"libtinfo.so.5", "libncursesw.so.5", "libmenuw.so.5", "libpanelw.so.5",
                             "libformw.so.5"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_NE(run.out.find("--silent"), std::string::npos);
}

TEST_F(CursesLoader, IncompleteAbi5SetFallsBackToAbi6)
{
    hide("libformw.so.5");
    Outcome run = run_tool({"--help"}, {"LD_DEBUG=libs"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> names = searched(run.err);
    for (const char* name : {"libtinfo.so.6", "libncursesw.so.6", "libmenuw.so.6", "libpanelw.so.6",
                             "libformw.so.6"})
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_NE(run.out.find("--silent"), std::string::npos);
}

TEST_F(CursesLoader, NoCompleteSetEndsBeforeAnyFlag)
{
    hide("libformw.so.5");
    hide("libformw.so.6");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--help"}, {"--version"}, {"--no-such-flag"}}) {
        Outcome run = run_tool(args, {});
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, " cant find valid ncurses v5/v6 exit now.\n");
        EXPECT_EQ(run.out, "");
    }
}

// Probing stops at the first library of a set that does not open.
TEST_F(CursesLoader, ProbeStopsAtFirstMissingLibrary)
{
    hide("libtinfo.so.5");
    Outcome run = run_tool({"--help"}, {"LD_DEBUG=libs"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> names = searched(run.err);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "libtinfo.so.5");
    for (const char* name : {"libncursesw.so.5", "libmenuw.so.5", "libpanelw.so.5", "libformw.so.5"})
        EXPECT_EQ(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_TRUE(any_of_abi(names, '6'));
}

} // namespace
