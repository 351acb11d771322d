// A stand-in for the boards' SCPU in end-to-end runs of the real binary.
//
// The responder watches the register windows (resource2 files) of the boards
// it is given and completes every command that the tool writes:
//  - SCPU mailbox: a non-zero command word at 0x9128 is taken at once by
//    raising the busy word (0x9148) to 1; then the result word (0x912C)
//    becomes 1 (or a chosen failure code, with status bits at 0x9180), the
//    command word is cleared, and the busy word drops to 0 last;
//  - WZ mailbox: a non-zero command at 0x9E00 is taken the same way with the
//    WZ busy word (0x9E20), recorded and cleared, and the busy word drops to 0;
//  - the last command of the ZK warm reset (0x10000) can load a new firmware
//    version into the version register, as a board that boots its new image.
// It records every command it saw, per board, for the test to check.
//
// A plain file does not raise the busy word by itself, so the tool's first
// poll, 100 ms after it wrote a command, reads whatever the responder has
// done by then. The responder is therefore a process of its own, forked from
// the test, that runs at real-time priority (SCHED_FIFO) and looks at the
// boards every millisecond, sleeping in between: it takes each command within
// a few milliseconds however loaded the machine is, also when the test
// program runs under emulation. Once it has raised the busy word, the tool
// waits for it for as long as it takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "../sim/board_map.h"

struct ScpuCommand {
    uint32_t command;   // command word (SCPU) or WZ command
    uint32_t argument;  // argument 1 (SCPU) or the WZ argument
    bool wz;            // true for the WZ mailbox
};

struct ScpuBoard {
    std::string resource2;          // path of the board's register window
    int fail_on_command = -1;       // the n-th SCPU command (from 0) fails; -1: none
    uint32_t fail_result = 3;       // result word of a failed command (3: wrong CRC)
    uint32_t fail_status = 0;       // status bits of a failed command
    uint32_t version_after_reset = 0;  // loaded at the ZK reset command when non-zero
    uint32_t version_reg = board_map::FW_VERSION_REG_ZK;  // where that version goes
};

class ScpuResponder {
public:
    ScpuResponder();
    ~ScpuResponder();  // stops the responder
    ScpuResponder(const ScpuResponder&) = delete;
    ScpuResponder& operator=(const ScpuResponder&) = delete;

    // Adds a board; call before Start.
    void Add(const ScpuBoard& board);
    // Starts the responder process and returns once it runs at real-time
    // priority and has looked at every board once. False, with the reason in
    // Error(), when it cannot have that priority (a run without it could fail
    // by chance on a busy machine, so a test must not go on).
    [[nodiscard]] bool Start();
    void Stop();
    const std::string& Error() const { return error_; }

    // Commands seen on the board with that resource2 path, in order. Every
    // command that the tool saw finished is there.
    std::vector<ScpuCommand> Commands(const std::string& resource2) const;

private:
    std::vector<ScpuBoard> boards_;
    pid_t pid_ = -1;
    int record_fd_ = -1;  // unnamed file the responder appends its records to
    std::string error_;
};
