// A stand-in for the boards' SCPU in end-to-end runs of the real binary.
//
// The responder watches the register windows (resource2 files) of the boards
// it is given and completes every command that the tool writes:
//  - SCPU mailbox: a non-zero command word at 0x9128 is taken, the result word
//    (0x912C) becomes 1 (or a chosen failure code, with status bits at 0x9180),
//    the busy word (0x9148) 0, and the command word is cleared again;
//  - WZ mailbox: a non-zero command at 0x9E00 is recorded and cleared; the busy
//    word stays 0, so the tool sees each command finished;
//  - the last command of the ZK warm reset (0x10000) can load a new firmware
//    version into the version register, as a board that boots its new image.
// It records every command it saw, per board, for the test to check.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScpuCommand {
    uint32_t command;   // command word (SCPU) or WZ command
    uint32_t argument;  // argument 1 (SCPU) or the WZ argument
    bool wz;            // true for the WZ mailbox
};

struct ScpuBoard {
    std::string resource2;          // path of the board's register window
    int fail_on_command = -1;       // the n-th SCPU command (from 0) fails; -1: none
    uint32_t fail_result = 3;       // result word of a failed command
    uint32_t fail_status = 0;       // status bits of a failed command
    uint32_t version_after_reset = 0;  // loaded at the ZK reset command when non-zero
    uint32_t version_reg = 0x707C;     // where that version goes
};

class ScpuResponder {
public:
    ScpuResponder();
    ~ScpuResponder();  // stops the thread

    // Adds a board; call before Start.
    void Add(const ScpuBoard& board);
    void Start();
    void Stop();

    // Commands seen on the board with that resource2 path, in order.
    std::vector<ScpuCommand> Commands(const std::string& resource2);

private:
    struct Watched {
        ScpuBoard config;
        std::vector<ScpuCommand> seen;
        int scpu_count = 0;
    };
    void Loop();
    void Serve(Watched& board);

    std::vector<Watched> boards_;
    std::mutex mutex_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};
