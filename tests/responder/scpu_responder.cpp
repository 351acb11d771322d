// A stand-in for the boards' SCPU in end-to-end runs; see scpu_responder.h.
#include "scpu_responder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "../sim/board_map.h"

namespace {

const off_t MAILBOX_CMD = board_map::REGG_SCPU__MAILBOX_CMD;
const off_t MAILBOX_ARG1 = board_map::REGG_SCPU__MAILBOX0_1;
const off_t MAILBOX_BUSY = board_map::REGG_SCPU__MAILBOX_BUSY;
const off_t MAILBOX_STATUS = board_map::MAILBOX_SET_STATUS_REG;
const off_t WZ_CMD = board_map::WZ_MAILBOX_CMD;
const off_t WZ_ARG = board_map::WZ_MAILBOX_ARG;
const off_t WZ_BUSY = board_map::WZ_MAILBOX_BUSY;
const uint32_t BUSY = board_map::MAILBOX_BUSY_VALUE;
const uint32_t RESULT_OK = board_map::MAILBOX_RESULT_OK;
const uint32_t ZK_RESET_COMMAND = board_map::WARM_RESET_CMD_4;

// Any real-time priority runs before every ordinary process; a low one stays
// below the kernel's own real-time threads.
const int RT_PRIORITY = 10;
const long POLL_NS = 1000000;  // 1 ms between looks at the boards

// One command as the responder appends it to the record file.
struct Record {
    uint32_t board;  // index in the list of boards
    uint32_t command;
    uint32_t argument;
    uint32_t wz;
};

bool read_word(int fd, off_t offset, uint32_t& value)
{
    return pread(fd, &value, sizeof(value), offset) == static_cast<ssize_t>(sizeof(value));
}

void write_word(int fd, off_t offset, uint32_t value)
{
    if (pwrite(fd, &value, sizeof(value), offset) != static_cast<ssize_t>(sizeof(value))) {
        // A window too small for the register: the tool sees nothing change.
    }
}

void append(int record_fd, const Record& record)
{
    if (write(record_fd, &record, sizeof(record)) != static_cast<ssize_t>(sizeof(record))) {
        // The record file is a scratch file: nothing to do but go on.
    }
}

// Per board, in the responder process.
struct State {
    int fd = -1;
    int scpu_count = 0;
};

// Completes the commands waiting on one board. The busy word goes up before
// anything else and down after everything else, the command word cleared
// before it drops: once the tool reads "not busy", the result is in place and
// the next command the tool writes cannot be wiped out.
void serve(const ScpuBoard& board, State& state, uint32_t index, int record_fd)
{
    if (state.fd < 0) {
        state.fd = open(board.resource2.c_str(), O_RDWR | O_CLOEXEC);
        if (state.fd < 0)
            return;
    }
    const int fd = state.fd;
    uint32_t command = 0;
    if (read_word(fd, MAILBOX_CMD, command) && command != 0) {
        write_word(fd, MAILBOX_BUSY, BUSY);
        uint32_t argument = 0;
        read_word(fd, MAILBOX_ARG1, argument);
        append(record_fd, {index, command, argument, 0});
        bool fail = state.scpu_count == board.fail_on_command;
        ++state.scpu_count;
        if (command == ZK_RESET_COMMAND && board.version_after_reset != 0)
            write_word(fd, static_cast<off_t>(board.version_reg), board.version_after_reset);
        write_word(fd, MAILBOX_STATUS, fail ? board.fail_status : 0);
        write_word(fd, MAILBOX_ARG1, fail ? board.fail_result : RESULT_OK);
        write_word(fd, MAILBOX_CMD, 0);
        write_word(fd, MAILBOX_BUSY, 0);
    }
    uint32_t wz_command = 0;
    if (read_word(fd, WZ_CMD, wz_command) && wz_command != 0) {
        write_word(fd, WZ_BUSY, BUSY);
        uint32_t argument = 0;
        read_word(fd, WZ_ARG, argument);
        append(record_fd, {index, wz_command, argument, 1});
        write_word(fd, WZ_CMD, 0);
        write_word(fd, WZ_BUSY, 0);
    }
}

// The responder process: never returns. It reports on ready_fd either 0 (it
// runs at real-time priority and has looked at every board once) or the
// errno of the failed priority change.
[[noreturn]] void respond(const std::vector<ScpuBoard>& boards, std::vector<State>& states, int record_fd,
                          int ready_fd, pid_t parent)
{
    // It must not outlive a test that dies.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = RT_PRIORITY;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        int error = errno;
        if (write(ready_fd, &error, sizeof error) != static_cast<ssize_t>(sizeof error)) {
            // The parent sees the pipe close instead.
        }
        _exit(1);
    }
    bool ready = false;
    for (;;) {
        for (size_t i = 0; i < boards.size(); i++)
            serve(boards[i], states[i], static_cast<uint32_t>(i), record_fd);
        if (!ready) {
            int ok = 0;
            if (write(ready_fd, &ok, sizeof ok) != static_cast<ssize_t>(sizeof ok)) {
                // The parent sees the pipe close instead.
            }
            close(ready_fd);
            ready = true;
        }
        struct timespec pause = {0, POLL_NS};
        nanosleep(&pause, nullptr);
    }
}

} // namespace

ScpuResponder::ScpuResponder() {}

ScpuResponder::~ScpuResponder()
{
    Stop();
    if (record_fd_ >= 0)
        close(record_fd_);
}

void ScpuResponder::Add(const ScpuBoard& board) { boards_.push_back(board); }

bool ScpuResponder::Start()
{
    if (pid_ > 0)
        return true;
    error_.clear();
    if (record_fd_ < 0) {
        char path[] = "/tmp/scpu-responder-XXXXXX";
        record_fd_ = mkostemp(path, O_CLOEXEC | O_APPEND);
        if (record_fd_ < 0) {
            error_ = std::string("SCPU responder: no record file: ") + strerror(errno);
            return false;
        }
        unlink(path);
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        error_ = std::string("SCPU responder: pipe: ") + strerror(errno);
        return false;
    }
    // Everything the responder uses is made before the fork.
    std::vector<State> states(boards_.size());
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("SCPU responder: fork: ") + strerror(errno);
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    if (pid == 0) {
        close(ready[0]);
        respond(boards_, states, record_fd_, ready[1], parent);
    }
    close(ready[1]);
    pid_ = pid;

    int answer = -1;
    ssize_t n;
    do
        n = read(ready[0], &answer, sizeof answer);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    if (n == static_cast<ssize_t>(sizeof answer) && answer == 0)
        return true;
    if (n == static_cast<ssize_t>(sizeof answer))
        error_ = std::string("SCPU responder: cannot run at real-time priority (SCHED_FIFO ") +
                 std::to_string(RT_PRIORITY) + "): " + strerror(answer) +
                 ". End-to-end runs need it (root, with a real-time budget) so that a busy machine cannot "
                 "delay an answer past the tool's first poll.";
    else
        error_ = "SCPU responder: the process ended before it started serving";
    Stop();
    return false;
}

void ScpuResponder::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::vector<ScpuCommand> ScpuResponder::Commands(const std::string& resource2) const
{
    std::vector<ScpuCommand> seen;
    size_t index = 0;
    while (index < boards_.size() && boards_[index].resource2 != resource2)
        ++index;
    if (index == boards_.size() || record_fd_ < 0)
        return seen;
    Record record;
    for (off_t at = 0; pread(record_fd_, &record, sizeof record, at) == static_cast<ssize_t>(sizeof record);
         at += static_cast<off_t>(sizeof record))
        if (record.board == index)
            seen.push_back({record.command, record.argument, record.wz != 0});
    return seen;
}
