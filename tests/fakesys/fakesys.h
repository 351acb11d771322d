// The fake system for end-to-end tests: a private mount namespace in which
// sysfs PCI devices, /run, the log directory, the kernel module tree, the DKMS
// tree, /proc/modules and the setpci/dkms programs are test-controlled
// stand-ins, and a runner that starts the real qvfw-tool binary inside it.
//
// Usage: construct one FakeSystem per test. The constructor needs root and
// enters a fresh mount namespace; the destructor takes away every mount made
// in it since (the test's own too), returns to the working directory it was
// made in and removes the scratch directory, so that the tests of one process
// can each have a fake system of their own, one after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Program that runs the binary (e.g. qemu-aarch64 for a cross build); empty
// runs it directly.
#ifndef QVFW_TOOL_EMULATOR
#define QVFW_TOOL_EMULATOR ""
#endif

#ifndef QVFW_TOOL_PATH
#define QVFW_TOOL_PATH "qvfw-tool"
#endif

namespace fakesys {

// The configuration space that AddPci gives a function (its config file, 256
// bytes, where setpci reads and writes): the vendor and device IDs of its
// texts, the command register at 0x0000, and a capability list of an MSI
// capability at 0x40 followed by the power-management capability at the
// function's pm_cap, whose control/status word (pm_cap + 4) holds 0x0003: the
// function sits in D3hot.
const uint32_t kConfigSize = 256;
const uint32_t kConfigCommand = 0x04;  // 16-bit command register
const uint32_t kPmControl = 4;         // offset of the control/status word in the capability

// One PCI function to place in the fake sysfs.
struct PciFunction {
    std::string bdf;                 // "DDDD:BB:DD.F", the /sys/bus/pci/devices entry name
    std::string vendor = "0x7e51";   // vendor file text ("\n" appended unless present or empty)
    std::string device = "0x0002";   // device file text (same rule)
    std::string uevent;              // uevent text; empty gives "PCI_SLOT_NAME=<bdf>\n"
    size_t resource0_size = 0x400000;  // memory window file size
    size_t resource2_size = 0x40000;   // register window file size
    std::map<uint32_t, uint32_t> regs; // resource2 offset -> 32-bit little-endian value
    // Directory of the function in the fake device tree, under /sys/devices/.
    // Its parents decide the switch path (the real path with four components
    // dropped). Empty gives a switch of the function's own:
    // /sys/devices/pci<DDDD:BB>/<bdf>-switch/up/down/slot/<bdf>, so chips
    // share a switch only where a test places them under one.
    std::string node;
    bool with_vendor = true;
    bool with_device = true;
    bool with_uevent = true;
    bool with_resource0 = true;
    bool with_resource2 = true;
    uint32_t pm_cap = 0x60;            // power-management capability in config: 0x50 to 0xf8, dword aligned
};

struct RunOptions {
    std::string stdin_text;          // fed on standard input (empty: /dev/null)
    bool as_nobody = false;          // run as the unprivileged user nobody
    int timeout_sec = 60;            // the child is killed after this long
    std::vector<std::string> env;    // extra "NAME=value" entries (override inherited ones)
    std::string cwd;                 // working directory; empty: WorkDir()
    int umask = -1;                  // the child's umask; -1: the runner's own
};

struct RunResult {
    int status = -1;          // exit status as the shell sees it (0-255); 128+signal when killed
    bool signaled = false;    // ended by a signal
    int signal = 0;           // that signal
    bool timed_out = false;   // killed by the runner's time-out
    std::string out;          // standard output
    std::string err;          // standard error
};

class FakeSystem {
public:
    // Sets up the namespace and mounts; a failure fails the test (gtest
    // ADD_FAILURE) and leaves ok() false.
    FakeSystem();
    ~FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    bool ok() const { return ok_; }

    // ----- fake PCI devices -----
    // Creates the function's node, its files and the /sys/bus/pci/devices link.
    void AddPci(const PciFunction& fn);
    // "/sys/bus/pci/devices/<bdf>"
    static std::string PciPath(const std::string& bdf);
    // The node directory that AddPci created (the link's target).
    std::string NodePath(const std::string& bdf) const;
    // 32-bit little-endian register of resource2.
    uint32_t ReadReg(const std::string& bdf, uint32_t offset) const;
    void WriteReg(const std::string& bdf, uint32_t offset, uint32_t value);
    // Bytes of resource0.
    std::string ReadMem(const std::string& bdf, size_t offset, size_t len) const;
    void WriteMem(const std::string& bdf, size_t offset, const std::string& bytes);

    // ----- kernel, modules, driver package -----
    // Replaces the text of /proc/modules.
    void SetModules(const std::string& text);
    // From now on, /proc/modules cannot be opened (a socket is bound over it:
    // open fails with ENXIO, for root too). A failure fails the test and
    // returns false.
    bool MakeModulesUnopenable();
    // From now on, /proc/modules opens but cannot be read: the test
    // process's own memory file is bound over it, and a read at its offset 0
    // (an address that nothing maps) fails with EIO. A failure fails the test
    // and returns false.
    bool MakeModulesUnreadable();
    // The running kernel's release (uname).
    static std::string KernelRelease();
    // "/lib/modules/<release>/kernel/drivers/misc" (created by the constructor).
    static std::string ModuleDir();

    // ----- stand-in programs -----
    // Lines recorded by a stand-in, one per call: its arguments joined by blanks.
    std::vector<std::string> Calls(const std::string& program) const;
    std::vector<std::string> SetpciCalls() const { return Calls("setpci"); }
    std::vector<std::string> DkmsCalls() const { return Calls("dkms"); }
    // Where a stand-in's standard output and error pointed, one line per call:
    // the two targets as /proc/self/fd shows them ("/dev/null", "pipe:[...]",
    // a path), blank-separated; "closed" for a closed one.
    std::vector<std::string> Outputs(const std::string& program) const;
    // Adds (or replaces) a stand-in program on the runs' PATH that records
    // its arguments like setpci and dkms, then runs the shell text body
    // ("$@" holds the arguments). An empty body just records and exits 0.
    void SetStandIn(const std::string& program, const std::string& body = "");

    // ----- shell commands -----
    // From now on, records the text of every "sh -c" command that a process
    // in this fake system starts (system(), popen()), exactly as the shell
    // receives it: /bin/sh's target is covered, in this mount namespace only,
    // by a wrapper that appends the text to a record and runs a copy of the
    // real shell. A failure fails the test and returns false.
    bool RecordShellCommands();
    // The texts recorded so far, in order.
    std::vector<std::string> ShellCommands() const;
    const std::string& StandInDir() const { return bin_dir_; }
    // Takes a stand-in off the runs' PATH, so that they find the system's
    // program of that name (e.g. Debian's /usr/bin/setpci).
    void DropStandIn(const std::string& program);
    // A command prefix for programs that the runs do not start themselves
    // (e.g. inside tmux): where /proc is the fake one, "<bin>/with-proc-entry"
    // gives the process its /proc/<pid> entry and then runs the command;
    // otherwise empty.
    std::string ProcEntryWrapper() const { return proc_is_tmpfs_ ? bin_dir_ + "/with-proc-entry" : ""; }
    // The kernel's process directory, with an entry for every process: /proc,
    // or where /proc is the fake one, the real proc mounted inside it.
    std::string HostProcDir() const { return proc_is_tmpfs_ ? "/proc/.host" : "/proc"; }

    // ----- files -----
    const std::string& ScratchDir() const { return scratch_; }
    const std::string& WorkDir() const { return work_dir_; }
    // Writes a file in the working directory (e.g. a firmware file).
    void WriteWorkFile(const std::string& name, const std::string& content);
    // Writes a file anywhere, creating missing parent directories.
    static void WriteFile(const std::string& path, const std::string& content, unsigned mode = 0644);
    // Whole file content; empty when it cannot be read.
    static std::string ReadFile(const std::string& path);
    static bool Exists(const std::string& path);
    // Entry names of a directory in readdir order, "." and ".." left out.
    // Empty when the directory cannot be opened.
    static std::vector<std::string> ListDir(const std::string& path);
    // mkdir -p
    static void MakeDirs(const std::string& path, unsigned mode = 0755);

    // ----- running the tool -----
    // The command line that runs the real binary with args: the emulator (if
    // any), the binary, then args.
    static std::vector<std::string> ToolArgv(const std::vector<std::string>& args);
    // Runs the real binary with args (argv[0] excluded). Run and RunProgram
    // may be called from several threads at once, e.g. to hold one run inside
    // a stand-in while another one runs.
    RunResult Run(const std::vector<std::string>& args, const RunOptions& options = RunOptions()) const;
    // Runs any program (argv[0] is looked up on the runs' PATH) the same way.
    RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = RunOptions()) const;

private:
    bool SetUpMounts();
    bool SetUpProcModules();
    void RemoveMounts();
    std::string ResourcePath(const std::string& bdf, int bar) const;
    static void LinkProcEntry(int pid);

    bool ok_ = false;
    std::string scratch_;
    std::string work_dir_;
    std::string bin_dir_;
    std::string record_dir_;
    std::string modules_file_;   // the file that /proc/modules shows
    bool proc_is_tmpfs_ = false; // /proc is our tmpfs (the kernel has no /proc/modules)
    std::map<std::string, std::string> nodes_;  // bdf -> node directory
    std::set<int> mounts_before_;  // IDs of the mounts the namespace started with
    int mountinfo_fd_ = -1;        // the namespace's /proc/self/mountinfo
    int cwd_fd_ = -1;              // the working directory when it was made
};

} // namespace fakesys
