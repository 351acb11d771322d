// qvlogger: the one log facility of qvfw-tool.
#pragma once

#include <cstdio>
#include <mutex>

enum LogLevel : int {
    LOG_DEBUG = 0,
    LOG_VIEW = 1,
    LOG_INFO = 2,
    LOG_RECORD = 3,
    LOG_WARNING = 4,
    LOG_ERROR = 5,
    LOG_FATAL = 6,
};

class qvlogger {
public:
    qvlogger() {}
    ~qvlogger() {}

    // Opens the log directory for the run and keeps its descriptor: makes it
    // (mode 0755, whatever the umask) when it is missing, refuses a symbolic
    // link or anything else but a directory in its place, refuses one not
    // owned by root, and takes the group and other write bits off the one it
    // keeps. Every later file of the directory is opened, listed and removed
    // through this descriptor, so a link put there after the check leads
    // nowhere. False when it cannot be opened so.
    static bool openDirectory();
    // Opens path ("a+") as the log file; ends the process with status 1 when it cannot.
    // A file of the log directory is opened through the directory's descriptor
    // once openDirectory has succeeded. A file made here gets mode 0644,
    // whatever the umask; a root-owned one loses group and other write.
    static void init(const char* path);
    // Start-of-run housekeeping: day rule, then the size rule.
    static void clearLogFile();
    // Writes the run header.
    static void CurrentTime();
    // printf-style log call; see LogLevel for the terminal echo of each level.
    static void logger(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Completes a "...time: " line with the local time and its milliseconds.
    static void GetTimeMs();
    // Leaves the current file for a new time-stamped one.
    static void rotateLogFile();
    // Writes the closing line and closes the file.
    static void shutdown();
    static void silent();

    static bool silent_;
    static FILE* fp_;
    static int dir_fd_;  // the log directory, from openDirectory; -1 until then
    static std::mutex mtx;
    static const char* const log_prefix[7];
};

// Log directory and standard file names.
#define QV_LOG_DIR "/var/log/qvFwTool/"
#define QV_LOG_FILE "/var/log/qvFwTool/qvfw-tool.log"
