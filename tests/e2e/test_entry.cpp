// Program entry through the real binary: help, command-line errors, the root
// check and "--version".
#include <ctime>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include "fakesys.h"
#include "log_expect.h"

using fakesys::FakeSystem;
using fakesys::RunOptions;

namespace {

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
    fakesys::PciFunction board;
    board.bdf = "0000:01:00.0";
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
    fakesys::PciFunction board;
    board.bdf = "0000:01:00.0";
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
    fakesys::PciFunction board;
    board.bdf = "0000:01:00.0";
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
