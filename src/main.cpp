// Program entry of qvfw-tool: flags, root check, log set-up, then one pass over the boards.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

// Holds the lock of the log directory for the life of the process: one run at
// a time drives the boards. The kernel drops the lock when the process ends,
// however it ends. The descriptor is never closed.
int run_lock_fd = -1;

// Opens the log directory (made when missing; a link in its place is refused),
// takes the run lock on it and returns the log path: the entry that the
// directory listing returns last, or the standard file when it is empty. A
// directory that cannot be made, opened or listed ends the run like a log file
// that cannot be opened; a lock held by another run ends it with 255 before
// any log file is touched.
std::string choose_log_path()
{
    if (!qvlogger::openDirectory()) {
        fprintf(stderr, "Failed to init qvlogger.\n\n");
        exit(1);
    }

    run_lock_fd = openat(qvlogger::dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (run_lock_fd < 0) {
        fprintf(stderr, "Failed to init qvlogger.\n\n");
        exit(1);
    }
    if (flock(run_lock_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        fprintf(stderr, "Another qvfw-tool is running.\n");
        exit(255);
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
