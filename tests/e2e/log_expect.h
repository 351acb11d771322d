// Helpers of the end-to-end tests for the log directory and the run header.
#pragma once

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakesys.h"

namespace e2e {

inline const std::string kLogDir = "/var/log/qvFwTool";
inline const std::string kLogFile = "/var/log/qvFwTool/qvfw-tool.log";
inline const std::string kVersionOut = "Brenvoda Nudra GPU Firmware Tool version: 2.0.1\n";
inline const std::string kClosing = "Qvfw-tool is exit ...\n\n";

inline std::string LocalTime(time_t when, const char* format)
{
    struct tm parts;
    localtime_r(&when, &parts);
    char text[80];
    strftime(text, sizeof text, format, &parts);
    return text;
}

inline int Today()
{
    time_t now = time(nullptr);
    struct tm parts;
    localtime_r(&now, &parts);
    return parts.tm_mday;
}

// Every local time text from first to last (whole seconds), in a format.
inline std::set<std::string> TimesBetween(time_t first, time_t last, const char* format)
{
    std::set<std::string> texts;
    for (time_t t = first; t <= last; ++t)
        texts.insert(LocalTime(t, format));
    return texts;
}

// Checks that text is exactly one run header, taken between first and last,
// followed by body.
inline void ExpectHeaderThen(const std::string& text, time_t first, time_t last, const std::string& body)
{
    static const std::regex header(
        "\n\n-------- Current time is: (\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) --------\n\n"
        "Current day is: \n_day_(\\d+)\n\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, header, std::regex_constants::match_continuous))
        << "no run header at the start of:\n" << text;
    EXPECT_EQ(TimesBetween(first, last, "%Y-%m-%d %H:%M:%S").count(m[1].str()), 1u) << m[1].str();
    EXPECT_EQ(m[2].str(), std::to_string(Today()));
    EXPECT_EQ(text.substr(static_cast<size_t>(m.length(0))), body);
}

// What a directory entry is made of, for arranging a log directory.
struct Entry {
    std::string name;
    bool directory = false;
    std::string content;  // file content, or of a file "inner" inside a directory
};

inline void Create(const Entry& e)
{
    std::string path = kLogDir + "/" + e.name;
    if (e.directory)
        fakesys::FakeSystem::WriteFile(path + "/inner", e.content);
    else
        fakesys::FakeSystem::WriteFile(path, e.content);
}

// Fills the log directory with the entries so that the listing returns the
// entry named last_name last. The listing order of a directory depends on the
// file system (creation order or its reverse on tmpfs), so both creation
// orders are tried.
inline bool ArrangeLogDir(std::vector<Entry> entries, const std::string& last_name)
{
    std::stable_partition(entries.begin(), entries.end(),
                          [&](const Entry& e) { return e.name != last_name; });
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::error_code ec;
        std::filesystem::remove_all(kLogDir, ec);
        fakesys::FakeSystem::MakeDirs(kLogDir);
        for (const Entry& e : entries)
            Create(e);
        std::vector<std::string> names = fakesys::FakeSystem::ListDir(kLogDir);
        if (!names.empty() && names.back() == last_name)
            return true;
        std::reverse(entries.begin(), entries.end());
    }
    ADD_FAILURE() << "cannot make " << last_name << " the last entry of " << kLogDir;
    return false;
}

} // namespace e2e
