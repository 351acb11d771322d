// Start-up check of the curses libraries, through the real binary in the
// fake system, where chosen libraries are made absent by binding an empty
// file over them. LD_DEBUG=libs shows which files the loader opens.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "fakesys.h"

namespace {

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
        fs_ = std::make_unique<fakesys::FakeSystem>();
        ASSERT_TRUE(fs_->ok());
        empty_ = fs_->ScratchDir() + "/empty";
        fakesys::FakeSystem::WriteFile(empty_, "");
        for (const char* name : {"libtinfo", "libncursesw", "libmenuw", "libpanelw", "libformw"})
            for (int abi : {5, 6})
                if (library_file(std::string(name) + ".so." + std::to_string(abi)).empty())
                    GTEST_SKIP() << name << ".so." << abi << " is not installed";
    }

    // The fake system takes the bound files away with it.
    void TearDown() override { fs_.reset(); }

    // Makes a library absent: an empty file stands where it was.
    void hide(const std::string& name)
    {
        std::string file = library_file(name);
        ASSERT_FALSE(file.empty()) << name;
        ASSERT_EQ(mount(empty_.c_str(), file.c_str(), nullptr, MS_BIND, nullptr), 0) << file;
        ASSERT_TRUE(library_file(name).empty()) << name << " still opens";
    }

    // Runs the tool with the given arguments and extra environment entries,
    // standard input empty.
    fakesys::RunResult run_tool(const std::vector<std::string>& args, const std::vector<std::string>& env)
    {
        fakesys::RunOptions options;
        options.env = env;
        return fs_->Run(args, options);
    }

    std::unique_ptr<fakesys::FakeSystem> fs_;
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
    fakesys::RunResult run = run_tool({"--help"}, {"LD_DEBUG=libs"});
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
    fakesys::RunResult run = run_tool({"--help"}, {"LD_DEBUG=libs"});
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
        fakesys::RunResult run = run_tool(args, {});
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, " cant find valid ncurses v5/v6 exit now.\n");
        EXPECT_EQ(run.out, "");
    }
}

// Probing stops at the first library of a set that does not open.
TEST_F(CursesLoader, ProbeStopsAtFirstMissingLibrary)
{
    hide("libtinfo.so.5");
    fakesys::RunResult run = run_tool({"--help"}, {"LD_DEBUG=libs"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> names = searched(run.err);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "libtinfo.so.5");
    for (const char* name : {"libncursesw.so.5", "libmenuw.so.5", "libpanelw.so.5", "libformw.so.5"})
        EXPECT_EQ(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_TRUE(any_of_abi(names, '6'));
}

} // namespace
