// Program entry of qvfw-tool: flags, root check, log set-up, then one pass over the boards.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "catalogue.h"
#include "logger.h"
#include "upgrader.h"
#include "utils.h"

namespace {

const char* const TOOL_VERSION = "2.0.1";

// Runs ahead of every start-up entry without a priority, the curses probe
// among them: a standard descriptor that the caller left closed is opened on
// /dev/null, so that no file the run opens later (a log file, a board's
// resource file) takes its number and receives terminal text or is read as
// input.
__attribute__((constructor(101))) void open_closed_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is taken, which is fd itself.
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd)
            close(opened);
    }
}

// The run lock: a root-owned file of mode 0600 in a directory that only root
// can write, so that no other user can open it, let alone hold it.
const char* const RUN_LOCK_PATH = "/run/qvfw-tool.lock";

// Holds the run lock for the life of the process: one run at a time drives the
// boards. The kernel drops the lock when the process ends, however it ends.
// The descriptor is never closed.
int run_lock_fd = -1;

// Refuses the run when the lock cannot be made, opened, checked or taken.
[[noreturn]] void run_lock_failed(const char* reason)
{
    qvlogger::logger(LOG_FATAL, "Failed to take the run lock %s: %s\n", RUN_LOCK_PATH, reason);
    exit(255);
}

// Takes the run lock, before any log file, board or shell command. A lock held
// by another run ends the run with 255; so does any other failure, with its
// reason, since a run that went on unlocked could drive the boards of another.
void take_run_lock()
{
    // Never through a link; without blocking, so that a FIFO in its place
    // cannot stall the run; close-on-exec, so that no program the run starts
    // keeps the lock.
    int fd = open(RUN_LOCK_PATH, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        run_lock_failed(strerror(errno));
    struct stat info;
    if (fstat(fd, &info) != 0)
        run_lock_failed(strerror(errno));
    if (!S_ISREG(info.st_mode))
        run_lock_failed("not a regular file");
    if (info.st_uid != 0)
        run_lock_failed("not owned by root");
    // A file that others may open would let them hold the lock.
    if ((info.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0)
        run_lock_failed(strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            qvlogger::logger(LOG_FATAL, "Another qvfw-tool is running.\n");
            exit(255);
        }
        run_lock_failed(strerror(errno));
    }
    run_lock_fd = fd;
}

// Opens the log directory (made when missing; a link in its place, or a
// directory not owned by root, is refused)
// and returns the log path: the entry that the directory listing returns last,
// or the standard file when it is empty. A directory that cannot be made,
// opened or listed ends the run like a log file that cannot be opened.
std::string choose_log_path()
{
    if (!qvlogger::openDirectory()) {
        fprintf(stderr, "Failed to init qvlogger.\n\n");
        exit(1);
    }

    // Listed through the directory's descriptor, so that the entries are
    // those of the directory just checked.
    std::string log_path = QV_LOG_FILE;
    int list_fd = openat(qvlogger::dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = list_fd < 0 ? nullptr : fdopendir(list_fd);
    if (dir == nullptr) {
        fprintf(stderr, "Failed to init qvlogger.\n\n");
        exit(1);
    }
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        log_path = std::string(QV_LOG_DIR) + name;
    }
    closedir(dir);
    return log_path;
}

// Prints the board table of "--list". Rows are numbered across the run.
void list_boards(std::vector<Board*> boards)
{
    static int num = 0;
    qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", "list_boards", 22);
    qvlogger::logger(LOG_RECORD, "%-4s %-13s %-11s %s\n", "NUM", "DEVICE", "PRODUCT", "VERSION");
    for (Board* board : boards) {
        qvlogger::logger(LOG_RECORD, "%-4d %-13s %-11s %s\n", num, board->bdf.c_str(),
                         product_table[board->product], board->version.c_str());
        ++num;
    }
}

} // namespace

int main(int argc, char** argv)
{
    bool silent = false;
    bool sram_mode = false;
    bool list = false;
    bool version = false;
    bool accept_other_products = false;
    std::string firmware_file;

    CLI::App app("Brenvoda Nudra GPU Firmware Tool.", "");
    app.add_flag("--silent", silent, "Performs an upgrades with no further user-input.");
    app.add_flag("--sram-mode", sram_mode, "Upgrade firmware by SCPU SRAM.");
    app.add_flag("-l, --list", list, "List GPU.");
    app.add_flag("-v, --version", version, "Print version information.");
    app.set_help_flag("-h,--help", "Print this help message and exit.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error, std::cout, std::cerr);
    }

    if (geteuid() != 0) {
        printf("Requires root privileges.\n");
        return -1;
    }
    static char term[] = "TERM=screen";
    putenv(term);

    take_run_lock();
    std::string log_path = choose_log_path();
    qvlogger::init(log_path.c_str());
    qvlogger::clearLogFile();
    qvlogger::CurrentTime();

    if (version) {
        qvlogger::logger(LOG_RECORD, "Brenvoda Nudra GPU Firmware Tool version: %s\n", TOOL_VERSION);
        return 0;
    }

    Upgrader* upgrader = new Upgrader(accept_other_products);
    std::vector<Board*> boards = upgrader->ListBoard();
    if (boards.empty()) {
        qvlogger::logger(LOG_FATAL, "No Brenvoda Nudra GPU found.\n");
        delete upgrader;
        return -1;
    }

    if (list) {
        list_boards(boards);
        delete upgrader;
        return 0;
    }

    // The last known name present in the working directory wins.
    for (const char* name : all_firmwares) {
        if (is_file_exist(name))
            firmware_file = name;
    }
    if (firmware_file.empty()) {
        qvlogger::logger(LOG_FATAL, "No firmware file found.\n");
        delete upgrader;
        return -1;
    }

    if (!upgrader->SetFirmware(firmware_file)) {
        delete upgrader;
        return -1;
    }

    bool outcome = false;
    if (silent) {
        outcome = upgrader->unloadDriver() && upgrader->StarUpgrade(sram_mode);
    } else {
        outcome = upgrader->unloadDriver() && upgrader->preUpgrade() && upgrader->GetUpgraderStatus() &&
                  upgrader->StarUpgrade(sram_mode);
    }

    delete upgrader;
    qvlogger::shutdown();
    return outcome ? 0 : -1;
}
