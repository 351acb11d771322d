// qvlogger: log file handling, level routing and start-of-run housekeeping.
#include "logger.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

bool qvlogger::silent_ = false;
FILE* qvlogger::fp_ = nullptr;
int qvlogger::dir_fd_ = -1;
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

// The log directory without its final slash: lstat and O_NOFOLLOW then act on
// a link in its place, not on what the link points at.
const char* const kLogDirPath = "/var/log/qvFwTool";

// The name of path inside the log directory, when path names a file directly
// in it; null otherwise.
const char* name_in_log_dir(const char* path)
{
    const size_t prefix = strlen(QV_LOG_DIR);
    if (strncmp(path, QV_LOG_DIR, prefix) != 0)
        return nullptr;
    const char* name = path + prefix;
    if (*name == '\0' || strchr(name, '/') != nullptr)
        return nullptr;
    return name;
}

// Removes every entry of the directory open as dir_fd, as its listing returns
// them: a directory with all it holds, anything else by itself. Works through
// descriptors only and never follows a link: a link is removed, not what it
// points at.
void remove_entries(int dir_fd)
{
    int list_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list_fd < 0)
        return;
    DIR* dir = fdopendir(list_fd);
    if (dir == nullptr) {
        close(list_fd);
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        struct stat info;
        if (fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(info.st_mode)) {
            unlinkat(dir_fd, name, 0);
            continue;
        }
        int sub = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            remove_entries(sub);
            close(sub);
        }
        unlinkat(dir_fd, name, AT_REMOVEDIR);
    }
    closedir(dir);
}

// Sets the mode of what fd is open on: the permission bits made when the tool
// itself created it (made_mode == 0 when it did not), the special bits kept;
// for what it found, the same mode less the group and other write bits, so
// that no other user can change what the run writes. False when the mode
// cannot be set.
bool settle_mode(int fd, const struct stat& info, mode_t made_mode)
{
    const mode_t mode = info.st_mode & 07777;
    const mode_t wanted = made_mode != 0 ? (mode & 07000) | made_mode : mode & ~(S_IWGRP | S_IWOTH);
    return wanted == mode || fchmod(fd, wanted) == 0;
}

// Opens name relative to dir_fd with flags, creating it with mode 0644 when
// it is missing; created tells whether this call made it. A link in its place
// is neither followed nor counted as missing.
int open_or_create(int dir_fd, const char* name, int flags, bool& created)
{
    // Exclusive creation first, so that a file made by another process in
    // between is never taken for one made here.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(dir_fd, name, flags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            created = true;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        fd = openat(dir_fd, name, flags);
        if (fd >= 0 || errno != ENOENT) {
            created = false;
            return fd;
        }
    }
    return -1;
}

// Makes every missing directory above path, 0755 whatever the umask, so that
// no other user may change what a made parent holds (the log directory, the
// driver package record beside it). A parent that already exists, or that
// something else stands in place of, is left as it is; what could not be
// made is found missing when path is opened. False when a parent made here
// could not be given its mode.
bool make_parents(const char* path)
{
    const std::string full = path;
    for (size_t slash = full.find('/', 1); slash != std::string::npos; slash = full.find('/', slash + 1)) {
        const std::string parent = full.substr(0, slash);
        if (mkdir(parent.c_str(), 0755) != 0)
            continue;
        int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        bool set = fd >= 0 && fchmod(fd, 0755) == 0;
        if (fd >= 0)
            close(fd);
        if (!set)
            return false;
    }
    return true;
}

[[noreturn]] void init_failed()
{
    fprintf(stderr, "Failed to init qvlogger.\n\n");
    exit(1);
}

} // namespace

bool qvlogger::openDirectory()
{
    if (dir_fd_ >= 0)
        return true;
    struct stat info;
    bool created = false;
    if (lstat(kLogDirPath, &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return false;
    } else if (errno == ENOENT) {
        if (!make_parents(kLogDirPath))
            return false;
        created = mkdir(kLogDirPath, 0755) == 0;
    }
    // A link put in its place since is refused here too.
    int fd = open(kLogDirPath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    // A directory of another user is theirs to change under the run: it is
    // refused before anything is made, written or removed in it. The one made
    // here gets 0755 whatever the umask; a found one loses group and other
    // write.
    if (fstat(fd, &info) != 0 || info.st_uid != 0 || !settle_mode(fd, info, created ? 0755 : 0)) {
        close(fd);
        return false;
    }
    dir_fd_ = fd;
    return true;
}

void qvlogger::init(const char* path)
{
    // Opened without blocking, so that a FIFO in its place cannot stall the
    // run, close-on-exec, so that no shell command inherits it, and never
    // through a link, so that the run's lines cannot be appended to a file
    // elsewhere. Only a regular file is a log file.
    const int open_flags = O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    int fd = -1;
    bool created = false;
    const char* name = dir_fd_ >= 0 ? name_in_log_dir(path) : nullptr;
    if (name != nullptr) {
        fd = open_or_create(dir_fd_, name, open_flags, created);
    } else {
        if (!make_parents(path))
            init_failed();
        fd = open_or_create(AT_FDCWD, path, open_flags, created);
    }
    if (fd < 0)
        init_failed();
    // A file made here gets 0644 whatever the umask; a root-owned one found
    // loses group and other write. A file of another user is left as it is.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        ((created || info.st_uid == 0) && !settle_mode(fd, info, created ? 0644 : 0))) {
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
    // The entries go through the directory's descriptor, never through a link.
    if (day != 0 && day != today_day_of_month()) {
        if (!openDirectory())
            init_failed();
        remove_entries(dir_fd_);
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
