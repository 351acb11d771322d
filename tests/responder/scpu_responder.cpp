// A stand-in for the boards' SCPU in end-to-end runs; see scpu_responder.h.
#include "scpu_responder.h"

#include <chrono>

#include <fcntl.h>
#include <unistd.h>

namespace {

const off_t MAILBOX_CMD = 0x9128;
const off_t MAILBOX_ARG1 = 0x912C;
const off_t MAILBOX_BUSY = 0x9148;
const off_t MAILBOX_STATUS = 0x9180;
const off_t WZ_CMD = 0x9E00;
const off_t WZ_ARG = 0x9E04;
const uint32_t ZK_RESET_COMMAND = 0x10000;

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

} // namespace

ScpuResponder::ScpuResponder() {}

ScpuResponder::~ScpuResponder() { Stop(); }

void ScpuResponder::Add(const ScpuBoard& board)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Watched watched;
    watched.config = board;
    boards_.push_back(watched);
}

void ScpuResponder::Start()
{
    if (running_.exchange(true))
        return;
    thread_ = std::thread([this] { Loop(); });
}

void ScpuResponder::Stop()
{
    if (!running_.exchange(false))
        return;
    thread_.join();
}

std::vector<ScpuCommand> ScpuResponder::Commands(const std::string& resource2)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Watched& board : boards_) {
        if (board.config.resource2 == resource2)
            return board.seen;
    }
    return {};
}

void ScpuResponder::Loop()
{
    while (running_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (Watched& board : boards_)
                Serve(board);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ScpuResponder::Serve(Watched& board)
{
    int fd = open(board.config.resource2.c_str(), O_RDWR);
    if (fd < 0)
        return;
    uint32_t command = 0;
    if (read_word(fd, MAILBOX_CMD, command) && command != 0) {
        uint32_t argument = 0;
        read_word(fd, MAILBOX_ARG1, argument);
        board.seen.push_back({command, argument, false});
        bool fail = board.scpu_count == board.config.fail_on_command;
        ++board.scpu_count;
        if (command == ZK_RESET_COMMAND && board.config.version_after_reset != 0)
            write_word(fd, static_cast<off_t>(board.config.version_reg), board.config.version_after_reset);
        write_word(fd, MAILBOX_STATUS, fail ? board.config.fail_status : 0);
        write_word(fd, MAILBOX_ARG1, fail ? board.config.fail_result : 1);
        write_word(fd, MAILBOX_BUSY, 0);
        write_word(fd, MAILBOX_CMD, 0);
    }
    uint32_t wz_command = 0;
    if (read_word(fd, WZ_CMD, wz_command) && wz_command != 0) {
        uint32_t argument = 0;
        read_word(fd, WZ_ARG, argument);
        board.seen.push_back({wz_command, argument, true});
        write_word(fd, WZ_CMD, 0);
    }
    close(fd);
}
