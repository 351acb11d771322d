// qvlogger: log file handling, level routing and start-of-run housekeeping.
#include "logger.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

bool qvlogger::silent_ = false;
FILE* qvlogger::fp_ = nullptr;
std::mutex qvlogger::mtx;
const char* const qvlogger::log_prefix[7] = {
    "[    Debug]  ", "[     View]  ", "[     Info]  ", "[   record]  ",
    "[  Warning]  ", "[    Error]  ", "[    FATAL]  ",
};

namespace {

void local_time_text(time_t when, const char* format, char* buffer, size_t size)
{
    struct tm parts;
    localtime_r(&when, &parts);
    strftime(buffer, size, format, &parts);
}

int today_day_of_month()
{
    time_t now = time(nullptr);
    struct tm parts;
    localtime_r(&now, &parts);
    return parts.tm_mday;
}

// The day number after the "_day_" of a marker piece; 0 when the piece carries
// no usable number (such a file is kept, as one without a marker).
int marker_day(const char* piece)
{
    const char* digits = piece + 5;
    errno = 0;
    char* end = nullptr;
    long value = strtol(digits, &end, 10);
    if (end == digits || errno == ERANGE || value > INT_MAX || value < INT_MIN)
        return 0;
    return static_cast<int>(value);
}

[[noreturn]] void init_failed()
{
    fprintf(stderr, "Failed to init qvlogger.\n\n");
    exit(1);
}

} // namespace

void qvlogger::init(const char* path)
{
    char copy[256];
    strncpy(copy, path, sizeof(copy) - 1);
    copy[sizeof(copy) - 1] = '\0';
    std::string dir = dirname(copy);

    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        std::filesystem::create_directories(dir, ec);
    }

    // Opened without blocking, so that a FIFO in its place cannot stall the
    // run, and close-on-exec, so that no shell command inherits it. Only a
    // regular file is a log file.
    int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        init_failed();
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        init_failed();
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        init_failed();
    }
    fp_ = fdopen(fd, "a+");
    if (fp_ == nullptr) {
        close(fd);
        init_failed();
    }
}

void qvlogger::CurrentTime()
{
    if (fp_ == nullptr)
        return;
    time_t now = time(nullptr);
    char text[80];
    local_time_text(now, "%Y-%m-%d %H:%M:%S", text, sizeof(text));
    struct tm parts;
    localtime_r(&now, &parts);
    fprintf(fp_, "\n\n-------- Current time is: %s --------\n\n", text);
    fprintf(fp_, "Current day is: \n_day_%d\n\n", parts.tm_mday);
}

void qvlogger::logger(LogLevel level, const char* format, ...)
{
    std::lock_guard<std::mutex> lock(mtx);

    va_list args;
    va_start(args, format);
    va_list file_args;
    va_copy(file_args, args);

    if (level == LOG_VIEW && !silent_) {
        vfprintf(stdout, format, args);
    } else if (level == LOG_FATAL) {
        vfprintf(stderr, format, args);
    } else if (level == LOG_RECORD) {
        vfprintf(stdout, format, args);
    }

    if (fp_ != nullptr && level >= LOG_DEBUG && level <= LOG_FATAL) {
        char* text = nullptr;
        if (vasprintf(&text, format, file_args) >= 0) {
            fprintf(fp_, "%s%s", log_prefix[level], text);
            fflush(fp_);
            free(text);
        }
    }
    va_end(file_args);
    va_end(args);
}

void qvlogger::GetTimeMs()
{
    if (fp_ == nullptr)
        return;
    struct timeval now;
    gettimeofday(&now, nullptr);
    char text[80];
    local_time_text(now.tv_sec, "%Y-%m-%d %H:%M:%S", text, sizeof(text));
    fprintf(fp_, "%s.%03d \n", text, static_cast<int>(now.tv_usec / 1000));
}

void qvlogger::shutdown()
{
    if (fp_ == nullptr)
        return;
    fprintf(fp_, "Qvfw-tool is exit ...\n\n");
    fclose(fp_);
    fp_ = nullptr;
}

void qvlogger::silent() { silent_ = true; }

void qvlogger::rotateLogFile()
{
    shutdown();
    char stamp[80];
    local_time_text(time(nullptr), "%Y-%m-%d-%H:%M:%S", stamp, sizeof(stamp));
    std::string name = std::string(QV_LOG_DIR) + "qvfw-tool-" + stamp + ".log";
    init(name.c_str());
}

void qvlogger::clearLogFile()
{
    if (fp_ == nullptr)
        return;

    // Day marker: the number after the first "_day_" of the file.
    int day = 0;
    rewind(fp_);
    char piece[256];
    while (fgets(piece, sizeof(piece), fp_) != nullptr) {
        if (strstr(piece, "_day_") != nullptr) {
            day = marker_day(piece);
            break;
        }
    }

    // A file begun on another day of the month: empty the directory and start anew.
    if (day != 0 && day != today_day_of_month()) {
        std::error_code ec;
        for (std::filesystem::directory_iterator it(QV_LOG_DIR, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code rm_ec;
            if (it->is_directory(rm_ec) && !it->is_symlink(rm_ec))
                std::filesystem::remove_all(it->path(), rm_ec);
            else
                std::filesystem::remove(it->path(), rm_ec);
        }
        shutdown();
        init(QV_LOG_FILE);
    }

    // Size: a file that has grown past 2048 bytes is left for a new one.
    if (fseek(fp_, 0, SEEK_END) != 0) {
        fclose(fp_);
        fp_ = nullptr;
        return;
    }
    long size = ftell(fp_);
    if (size < 0) {
        fclose(fp_);
        fp_ = nullptr;
        return;
    }
    if (size > 2048)
        rotateLogFile();
}
