// Log facility: level prefixes and terminal echo, the closed state, and the
// closing line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "logger.h"

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh directory of this test process; the log path is made inside it.
std::string scratch_dir()
{
    std::string dir = testing::TempDir() + "/qvfw_logger_" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    return dir;
}

struct Echo {
    std::string out;
    std::string err;
};

Echo log_captured(LogLevel level, int number)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    qvlogger::logger(level, "message %d\n", number);
    fflush(stdout);
    Echo e;
    e.out = testing::internal::GetCapturedStdout();
    e.err = testing::internal::GetCapturedStderr();
    return e;
}

} // namespace

TEST(Logger, EveryLevelHasItsPrefixAndEcho)
{
    const std::string dir = scratch_dir();
    const std::string path = dir + "/sub/qvfw-tool.log";  // init makes the missing directories
    qvlogger::init(path.c_str());
    ASSERT_NE(qvlogger::fp_, nullptr);

    struct Case {
        LogLevel level;
        bool silent;
        const char* prefix;
        bool to_out;
        bool to_err;
    };
    const Case cases[] = {
        {LOG_DEBUG, false, "[    Debug]  ", false, false},
        {LOG_VIEW, false, "[     View]  ", true, false},
        {LOG_INFO, false, "[     Info]  ", false, false},
        {LOG_RECORD, false, "[   record]  ", true, false},
        {LOG_WARNING, false, "[  Warning]  ", false, false},
        {LOG_ERROR, false, "[    Error]  ", false, false},
        {LOG_FATAL, false, "[    FATAL]  ", false, true},
        // The silent switch mutes only the view level.
        {LOG_VIEW, true, "[     View]  ", false, false},
        {LOG_RECORD, true, "[   record]  ", true, false},
        {LOG_FATAL, true, "[    FATAL]  ", false, true},
    };
    std::string expected_file;
    int number = 0;
    for (const Case& c : cases) {
        qvlogger::silent_ = c.silent;
        const std::string text = "message " + std::to_string(number) + "\n";
        Echo e = log_captured(c.level, number++);
        EXPECT_EQ(e.out, c.to_out ? text : "") << c.prefix << " silent " << c.silent;
        EXPECT_EQ(e.err, c.to_err ? text : "") << c.prefix << " silent " << c.silent;
        expected_file += c.prefix + text;
        // Each message is in the file as soon as the call returns.
        EXPECT_EQ(read_file(path), expected_file);
    }
    std::filesystem::remove_all(dir);
}

TEST(Logger, ClosedLogOnlyEchoesAndShutdownClosesOnce)
{
    const std::string dir = scratch_dir();
    const std::string path = dir + "/qvfw-tool.log";

    // Nothing open yet: the message reaches the terminal only.
    Echo e = log_captured(LOG_RECORD, 1);
    EXPECT_EQ(e.out, "message 1\n");
    qvlogger::shutdown();
    EXPECT_FALSE(std::filesystem::exists(path));

    qvlogger::init(path.c_str());
    qvlogger::logger(LOG_INFO, "inside\n");
    qvlogger::shutdown();
    EXPECT_EQ(qvlogger::fp_, nullptr);
    qvlogger::shutdown();
    qvlogger::CurrentTime();
    qvlogger::GetTimeMs();
    e = log_captured(LOG_FATAL, 2);
    EXPECT_EQ(e.err, "message 2\n");
    EXPECT_EQ(read_file(path), "[     Info]  inside\nQvfw-tool is exit ...\n\n");
    std::filesystem::remove_all(dir);
}
