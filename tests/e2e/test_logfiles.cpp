// Choice, clearing and rotation of the log file, through "--version" runs of
// the real binary.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "fakesys.h"
#include "log_expect.h"

using e2e::Entry;
using fakesys::FakeSystem;

namespace {

const std::string kVersionLog = "[   record]  " + e2e::kVersionOut;

// A header as an earlier run wrote it, with its day marker.
std::string OldHeader(int day)
{
    return "\n\n-------- Current time is: 2026-01-01 08:00:00 --------\n\nCurrent day is: \n_day_" +
           std::to_string(day) + "\n\n";
}

int OtherDay()
{
    return e2e::Today() % 28 + 1;
}

// Pads text with lines of 'x' to exactly size bytes.
std::string Sized(std::string text, size_t size)
{
    while (text.size() < size) {
        size_t n = std::min<size_t>(size - text.size(), 64);
        text += std::string(n - 1, 'x') + "\n";
    }
    return text;
}

struct Timed {
    fakesys::RunResult r;
    time_t before;
    time_t after;
};

Timed RunVersion(const FakeSystem& fs, const fakesys::RunOptions& options = fakesys::RunOptions())
{
    Timed t;
    t.before = time(nullptr);
    t.r = fs.Run({"--version"}, options);
    t.after = time(nullptr);
    return t;
}

fakesys::RunOptions WithUmask(int mask)
{
    fakesys::RunOptions o;
    o.umask = mask;
    return o;
}

// Permission and special bits of path itself; -1 when it cannot be seen.
int ModeOf(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
}

std::string Octal(int value)
{
    char text[16];
    snprintf(text, sizeof text, "%04o", value);
    return text;
}

} // namespace

TEST(LogFiles, MissingOrEmptyDirectoryLogsToTheStandardFile)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    for (bool make_dir : {false, true}) {
        SCOPED_TRACE(make_dir ? "empty directory" : "no directory");
        std::error_code ec;
        std::filesystem::remove_all(e2e::kLogDir, ec);
        if (make_dir)
            FakeSystem::MakeDirs(e2e::kLogDir);
        Timed t = RunVersion(fs);
        EXPECT_EQ(t.r.status, 0) << t.r.err;
        EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), std::vector<std::string>{"qvfw-tool.log"});
        e2e::ExpectHeaderThen(FakeSystem::ReadFile(e2e::kLogFile), t.before, t.after, kVersionLog);
    }
}

// The run appends to the entry that the listing returns last, whatever its
// name; the others stay untouched. A second run appends again.
TEST(LogFiles, LastListedEntryIsAppendedTo)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::vector<std::string> names = {"qvfw-tool.log", "qvfw-tool-2026-12-10-08:00:00.log", "notes.txt",
                                            "zz.log"};
    for (const std::string& last : {names[0], names[2]}) {
        SCOPED_TRACE("last entry " + last);
        std::vector<Entry> entries;
        for (const std::string& n : names)
            entries.push_back({n, false, "old " + n + "\n"});
        ASSERT_TRUE(e2e::ArrangeLogDir(entries, last));
        Timed t = RunVersion(fs);
        EXPECT_EQ(t.r.status, 0) << t.r.err;
        Timed t2 = RunVersion(fs);
        EXPECT_EQ(t2.r.status, 0) << t2.r.err;
        EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir).size(), names.size());
        for (const std::string& n : names) {
            std::string content = FakeSystem::ReadFile(e2e::kLogDir + "/" + n);
            if (n != last) {
                EXPECT_EQ(content, "old " + n + "\n");
                continue;
            }
            std::string old = "old " + n + "\n";
            ASSERT_EQ(content.compare(0, old.size(), old), 0) << content;
            std::string added = content.substr(old.size());
            // Two runs: each adds its header and the version line.
            size_t second = added.find("\n\n-------- Current time", 1);
            ASSERT_NE(second, std::string::npos) << added;
            e2e::ExpectHeaderThen(added.substr(0, second), t.before, t.after, kVersionLog);
            e2e::ExpectHeaderThen(added.substr(second), t2.before, t2.after, kVersionLog);
        }
    }
}

TEST(LogFiles, UnusableLogPathEndsTheRunWithStatusOne)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    struct Case {
        const char* what;
        std::vector<Entry> entries;  // inside the log directory; the last one is listed last
    };
    const std::vector<Case> cases = {
        {"subdirectory listed last", {{"qvfw-tool.log", false, "old\n"}, {"sub", true, "inner\n"}}},
        {"only a subdirectory", {{"qvfw-tool.log", true, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(e2e::ArrangeLogDir(c.entries, c.entries.back().name));
        auto r = fs.Run({"--version"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Failed to init qvlogger.\n\n");
        EXPECT_EQ(r.out, "");
        if (!c.entries[0].directory) {
            EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogDir + "/" + c.entries[0].name), c.entries[0].content);
        }
    }

    // A file where the log directory should be.
    std::error_code ec;
    std::filesystem::remove_all(e2e::kLogDir, ec);
    FakeSystem::WriteFile(e2e::kLogDir, "not a directory\n");
    auto r = fs.Run({"--version"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to init qvlogger.\n\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogDir), "not a directory\n");

    // A FIFO as the chosen entry ends the run at once, without blocking on it.
    std::filesystem::remove_all(e2e::kLogDir, ec);
    FakeSystem::MakeDirs(e2e::kLogDir);
    ASSERT_EQ(mkfifo(e2e::kLogFile.c_str(), 0644), 0);
    r = fs.Run({"--version"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to init qvlogger.\n\n");
    EXPECT_EQ(r.out, "");

    // A link as the chosen entry is not followed: the file it points at gets
    // no line, and nothing is made where a dangling one points.
    const std::string outside = "/var/log/outside.txt";
    const std::string missing = "/var/log/missing.txt";
    for (const std::string& target : {outside, missing}) {
        SCOPED_TRACE(target);
        std::filesystem::remove_all(e2e::kLogDir, ec);
        std::filesystem::remove(missing, ec);
        FakeSystem::MakeDirs(e2e::kLogDir);
        FakeSystem::WriteFile(outside, "outside\n");
        ASSERT_EQ(symlink(target.c_str(), e2e::kLogFile.c_str()), 0);
        r = fs.Run({"--version"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Failed to init qvlogger.\n\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(FakeSystem::ReadFile(outside), "outside\n");
        EXPECT_FALSE(FakeSystem::Exists(missing));
        EXPECT_EQ(std::filesystem::read_symlink(e2e::kLogFile, ec).string(), target);
    }
}

// The first "_day_" marker of the chosen file decides: another day of the
// month empties the whole directory and the run starts a new standard file;
// anything else keeps the directory and appends.
TEST(LogFiles, DayMarkerDecidesWhetherTheDirectoryIsCleared)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const int today = e2e::Today();
    const int other = OtherDay();
    struct Case {
        std::string what;
        std::string content;
        bool cleared;
    };
    const std::vector<Case> cases = {
        {"marker of another day", OldHeader(other) + kVersionLog, true},
        {"marker of today", OldHeader(today) + kVersionLog, false},
        {"first marker today, a later one another day", OldHeader(today) + OldHeader(other), false},
        {"first marker another day, a later one today", OldHeader(other) + OldHeader(today), true},
        {"no marker", "some foreign text\nday 3\n", false},
        // Only the first marker counts, even when it carries no usable number.
        {"marker without a number", "Current day is: \n_day_\n\n" + OldHeader(other), false},
        {"marker followed by text", "_day_x" + std::to_string(other) + "\n" + OldHeader(other), false},
        {"number too large", "_day_99999999999999999999\n" + OldHeader(other), false},
        // The number is read after the first five characters of the piece.
        {"marker inside a line", "day: " + std::to_string(other) + " _day_\n", true},
        {"marker inside a line, today's number", "day: " + std::to_string(today) + " _day_" +
                                                     std::to_string(other) + "\n", false},
        {"marker of another day, file past the size limit", Sized(OldHeader(other), 5000), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<Entry> entries = {
            {"other.log", false, "another file\n"},
            {"olddir", true, "inside a subdirectory\n"},
            {"chosen.log", false, c.content},
        };
        ASSERT_TRUE(e2e::ArrangeLogDir(entries, "chosen.log"));
        Timed t = RunVersion(fs);
        EXPECT_EQ(t.r.status, 0) << t.r.err;
        EXPECT_EQ(t.r.out, e2e::kVersionOut);
        if (c.cleared) {
            EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), std::vector<std::string>{"qvfw-tool.log"});
            e2e::ExpectHeaderThen(FakeSystem::ReadFile(e2e::kLogFile), t.before, t.after, kVersionLog);
        } else {
            EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir).size(), 3u);
            EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogDir + "/other.log"), "another file\n");
            EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogDir + "/olddir/inner"), "inside a subdirectory\n");
            std::string content = FakeSystem::ReadFile(e2e::kLogDir + "/chosen.log");
            ASSERT_EQ(content.compare(0, c.content.size(), c.content), 0);
            e2e::ExpectHeaderThen(content.substr(c.content.size()), t.before, t.after, kVersionLog);
        }
    }
}

// A file of more than 2048 bytes gets the closing line and is left; the run
// logs to a new file named after the time of the rotation.
TEST(LogFiles, OversizedFileIsLeftForATimeStampedOne)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::regex rotated_name("qvfw-tool-(\\d{4}-\\d\\d-\\d\\d-\\d\\d:\\d\\d:\\d\\d)\\.log");
    struct Case {
        size_t size;
        std::string head;
        bool rotated;
    };
    const std::vector<Case> cases = {
        {2048, "", false},
        {2048, OldHeader(e2e::Today()), false},
        {2049, "", true},
        {2049, OldHeader(e2e::Today()), true},
        {100000, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.head.empty() ? " bytes" : " bytes with today's marker"));
        const std::string old = Sized(c.head, c.size);
        ASSERT_EQ(old.size(), c.size);
        ASSERT_TRUE(e2e::ArrangeLogDir({{"qvfw-tool.log", false, old}}, "qvfw-tool.log"));
        Timed t = RunVersion(fs);
        EXPECT_EQ(t.r.status, 0) << t.r.err;
        EXPECT_EQ(t.r.out, e2e::kVersionOut);
        std::string content = FakeSystem::ReadFile(e2e::kLogFile);
        ASSERT_EQ(content.compare(0, old.size(), old), 0);
        std::string added = content.substr(old.size());
        std::vector<std::string> names = FakeSystem::ListDir(e2e::kLogDir);
        if (!c.rotated) {
            EXPECT_EQ(names, std::vector<std::string>{"qvfw-tool.log"});
            e2e::ExpectHeaderThen(added, t.before, t.after, kVersionLog);
            continue;
        }
        EXPECT_EQ(added, e2e::kClosing);
        ASSERT_EQ(names.size(), 2u);
        std::string fresh = names[0] == "qvfw-tool.log" ? names[1] : names[0];
        std::smatch m;
        ASSERT_TRUE(std::regex_match(fresh, m, rotated_name)) << fresh;
        EXPECT_EQ(e2e::TimesBetween(t.before, t.after, "%Y-%m-%d-%H:%M:%S").count(m[1].str()), 1u);
        e2e::ExpectHeaderThen(FakeSystem::ReadFile(e2e::kLogDir + "/" + fresh), t.before, t.after, kVersionLog);
    }
}

// A rotation whose new file cannot be opened (a directory stands in its place)
// ends the run like any log file that cannot be opened; the file it left
// still got its closing line.
TEST(LogFiles, RotationThatCannotOpenItsFileEndsWithStatusOne)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::string old = Sized("", 3000);
    std::vector<Entry> entries = {{"qvfw-tool.log", false, old}};
    const time_t now = time(nullptr);
    for (time_t t = now; t <= now + 10; ++t)
        entries.push_back({"qvfw-tool-" + e2e::LocalTime(t, "%Y-%m-%d-%H:%M:%S") + ".log", true, ""});
    ASSERT_TRUE(e2e::ArrangeLogDir(entries, "qvfw-tool.log"));
    auto r = fs.Run({"--version"});
    ASSERT_LE(time(nullptr), now + 10);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to init qvlogger.\n\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogFile), old + e2e::kClosing);
}

// A symbolic link in the place of the log directory is never followed: the run
// ends as when the log cannot be opened, and whatever the link points at is
// neither cleared, written nor created, even when its files carry a day marker
// of another day.
TEST(LogFiles, LinkedLogDirectoryEndsTheRunWithStatusOne)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::string target_dir = "/var/log/elsewhere";
    const std::string target_file = "/var/log/syslog";
    const std::string missing = "/var/log/missing";
    const std::string old_day = OldHeader(OtherDay()) + "old\n";
    struct Case {
        const char* what;
        std::string target;
    };
    for (const Case& c : std::vector<Case>{{"link to a directory", target_dir},
                                           {"relative link to a directory", "elsewhere"},
                                           {"link to a file", target_file},
                                           {"dangling link", missing}}) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        for (const std::string& path : {e2e::kLogDir, target_dir, target_file, missing})
            std::filesystem::remove_all(path, ec);
        FakeSystem::WriteFile(target_dir + "/qvfw-tool.log", old_day);
        FakeSystem::WriteFile(target_dir + "/journal", "journal\n");
        FakeSystem::WriteFile(target_dir + "/sub/inner", old_day);
        FakeSystem::WriteFile(target_file, old_day);
        ASSERT_EQ(symlink(c.target.c_str(), e2e::kLogDir.c_str()), 0);

        auto r = fs.Run({"--version"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Failed to init qvlogger.\n\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::filesystem::read_symlink(e2e::kLogDir, ec).string(), c.target);
        std::vector<std::string> names = FakeSystem::ListDir(target_dir);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"journal", "qvfw-tool.log", "sub"}));
        EXPECT_EQ(FakeSystem::ReadFile(target_dir + "/qvfw-tool.log"), old_day);
        EXPECT_EQ(FakeSystem::ReadFile(target_dir + "/journal"), "journal\n");
        EXPECT_EQ(FakeSystem::ListDir(target_dir + "/sub"), std::vector<std::string>{"inner"});
        EXPECT_EQ(FakeSystem::ReadFile(target_dir + "/sub/inner"), old_day);
        EXPECT_EQ(FakeSystem::ReadFile(target_file), old_day);
        EXPECT_FALSE(FakeSystem::Exists(missing));
    }
}

// On a day change, a link inside the log directory goes itself; the
// directory it points at keeps its files.
TEST(LogFiles, DayChangeRemovesALinkInsideTheDirectoryNotItsTarget)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const std::string outside = "/var/log/outside";
    FakeSystem::WriteFile(outside + "/kept", "kept\n");
    const std::string link = e2e::kLogDir + "/a-link";
    // The old log file must be listed last, whichever creation order the file
    // system lists last.
    for (bool link_first : {true, false}) {
        std::error_code ec;
        std::filesystem::remove_all(e2e::kLogDir, ec);
        FakeSystem::MakeDirs(e2e::kLogDir);
        if (link_first) {
            ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
        }
        FakeSystem::WriteFile(e2e::kLogFile, OldHeader(OtherDay()));
        if (!link_first) {
            ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
        }
        if (FakeSystem::ListDir(e2e::kLogDir).back() == "qvfw-tool.log")
            break;
    }
    ASSERT_EQ(FakeSystem::ListDir(e2e::kLogDir).back(), "qvfw-tool.log");

    Timed t = RunVersion(fs);
    EXPECT_EQ(t.r.status, 0) << t.r.err;
    EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), std::vector<std::string>{"qvfw-tool.log"});
    e2e::ExpectHeaderThen(FakeSystem::ReadFile(e2e::kLogFile), t.before, t.after, kVersionLog);
    EXPECT_EQ(FakeSystem::ListDir(outside), std::vector<std::string>{"kept"});
    EXPECT_EQ(FakeSystem::ReadFile(outside + "/kept"), "kept\n");
}

// Whatever the caller's umask, every directory the run makes is 0755 and every
// log file it makes 0644: the log directory, a missing /var/log above it (an
// empty /var here), the standard file, a rotated one and the one begun after
// a day change. A /var/log that is there keeps its mode.
TEST(LogFiles, MadeDirectoryAndFilesGetFixedModesWhateverTheUmask)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    const int kFakeVarLog = -1;  // the fake system's own /var/log, 0755
    const int kNoVarLog = 0;     // /var is an empty file system of its own
    struct Case {
        const char* what;
        std::vector<Entry> entries;  // left in the directory beforehand; none: no directory
        size_t files_after;
        int var_log;                 // kFakeVarLog, kNoVarLog or the mode of a /var/log made beforehand
        const char* var_log_after;
    };
    const std::vector<Case> cases = {
        {"no directory", {}, 1, kFakeVarLog, "0755"},
        {"file past the size limit", {{"qvfw-tool.log", false, Sized("", 3000)}}, 2, kFakeVarLog, "0755"},
        {"file of another day", {{"old.log", false, "old\n"}, {"qvfw-tool.log", false, OldHeader(OtherDay())}}, 1,
         kFakeVarLog, "0755"},
        {"no /var/log", {}, 1, kNoVarLog, "0755"},
        {"a /var/log of mode 0775", {}, 1, 0775, "0775"},
    };
    for (int mask : {000, 077, 022}) {
        for (const Case& c : cases) {
            SCOPED_TRACE("umask " + Octal(mask) + ", " + c.what);
            std::error_code ec;
            std::filesystem::remove_all(e2e::kLogDir, ec);
            if (c.var_log != kFakeVarLog) {
                ASSERT_EQ(mount("tmpfs", "/var", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
                if (c.var_log != kNoVarLog) {
                    ASSERT_EQ(mkdir("/var/log", 0), 0);
                    ASSERT_EQ(chmod("/var/log", static_cast<mode_t>(c.var_log)), 0);
                }
            }
            if (!c.entries.empty()) {
                ASSERT_TRUE(e2e::ArrangeLogDir(c.entries, "qvfw-tool.log"));
            }
            auto r = fs.Run({"--version"}, WithUmask(mask));
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, e2e::kVersionOut);
            EXPECT_EQ(Octal(ModeOf("/var/log")), c.var_log_after);
            EXPECT_EQ(Octal(ModeOf(e2e::kLogDir)), "0755");
            std::vector<std::string> names = FakeSystem::ListDir(e2e::kLogDir);
            EXPECT_EQ(names.size(), c.files_after);
            for (const std::string& n : names)
                EXPECT_EQ(Octal(ModeOf(e2e::kLogDir + "/" + n)), "0644") << n;
            if (c.var_log != kFakeVarLog) {
                ASSERT_EQ(umount2("/var", MNT_DETACH), 0) << strerror(errno);
            }
        }
    }
}

// A root-owned directory or log file that group or others may write loses
// those bits, keeping the rest; the run still appends to the file. A file of
// another user is left as it is and appended to.
TEST(LogFiles, FoundDirectoryAndFileLoseGroupAndOtherWrite)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    struct Case {
        int dir_mode;
        int file_mode;
        uid_t file_owner;
        int dir_after;
        int file_after;
    };
    const std::vector<Case> cases = {
        {0777, 0666, 0, 0755, 0644},
        {0775, 0620, 0, 0755, 0600},
        {01777, 0646, 0, 01755, 0644},
        {0750, 0640, 0, 0750, 0640},
        {0755, 0666, 65534, 0755, 0666},
    };
    const std::string old = "old line\n";
    for (const Case& c : cases) {
        SCOPED_TRACE("directory " + Octal(c.dir_mode) + ", file " + Octal(c.file_mode) + " of uid " +
                     std::to_string(c.file_owner));
        ASSERT_TRUE(e2e::ArrangeLogDir({{"qvfw-tool.log", false, old}}, "qvfw-tool.log"));
        ASSERT_EQ(chown(e2e::kLogFile.c_str(), c.file_owner, c.file_owner), 0);
        ASSERT_EQ(chmod(e2e::kLogFile.c_str(), static_cast<mode_t>(c.file_mode)), 0);
        ASSERT_EQ(chmod(e2e::kLogDir.c_str(), static_cast<mode_t>(c.dir_mode)), 0);
        Timed t = RunVersion(fs, WithUmask(000));
        EXPECT_EQ(t.r.status, 0) << t.r.err;
        EXPECT_EQ(Octal(ModeOf(e2e::kLogDir)), Octal(c.dir_after));
        EXPECT_EQ(Octal(ModeOf(e2e::kLogFile)), Octal(c.file_after));
        std::string content = FakeSystem::ReadFile(e2e::kLogFile);
        ASSERT_EQ(content.compare(0, old.size(), old), 0) << content;
        e2e::ExpectHeaderThen(content.substr(old.size()), t.before, t.after, kVersionLog);
    }
}

// A log directory of another user ends the run before anything in it is
// made, written, rotated or removed, even when its file is of another day or
// past the size limit.
TEST(LogFiles, DirectoryNotOwnedByRootEndsTheRunWithStatusOne)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    struct Case {
        const char* what;
        std::vector<Entry> entries;  // the last one is listed last
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"file of another day", {{"other.log", false, "other\n"}, {"qvfw-tool.log", false, OldHeader(OtherDay())}}},
        {"file past the size limit", {{"qvfw-tool.log", false, Sized("", 3000)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        std::filesystem::remove_all(e2e::kLogDir, ec);
        FakeSystem::MakeDirs(e2e::kLogDir);
        if (!c.entries.empty()) {
            ASSERT_TRUE(e2e::ArrangeLogDir(c.entries, c.entries.back().name));
        }
        const std::vector<std::string> before = FakeSystem::ListDir(e2e::kLogDir);
        ASSERT_EQ(chown(e2e::kLogDir.c_str(), 65534, 65534), 0);
        auto r = fs.Run({"--version"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Failed to init qvlogger.\n\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(FakeSystem::ListDir(e2e::kLogDir), before);
        for (const Entry& e : c.entries)
            EXPECT_EQ(FakeSystem::ReadFile(e2e::kLogDir + "/" + e.name), e.content) << e.name;
    }
}

// The modes are set on what the run opened, not through its umask: the
// programs it starts get the caller's umask.
TEST(LogFiles, ProgramsTheRunStartsKeepTheCallersUmask)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fakesys::PciFunction board;
    board.bdf = "0000:01:00.0";
    fs.AddPci(board);
    const std::string seen = fs.ScratchDir() + "/umask-seen";
    fs.SetStandIn("setpci", "umask >> '" + seen + "'");
    for (int mask : {000, 077}) {
        SCOPED_TRACE("umask " + Octal(mask));
        std::error_code ec;
        std::filesystem::remove(seen, ec);
        std::filesystem::remove_all(e2e::kLogDir, ec);
        auto r = fs.Run({"--list"}, WithUmask(mask));
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream lines(FakeSystem::ReadFile(seen));
        size_t calls = 0;
        for (std::string line; std::getline(lines, line); ++calls)
            EXPECT_EQ(line, Octal(mask));
        EXPECT_GT(calls, 0u);
        EXPECT_EQ(Octal(ModeOf(e2e::kLogFile)), "0644");
    }
}
