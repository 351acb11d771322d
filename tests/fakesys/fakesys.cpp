// The fake system: see fakesys.h.
#include "fakesys.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace fakesys {

namespace {

const char* const kPciDevices = "/sys/bus/pci/devices";
const char* const kStdPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Numbers the runs of the process, so that runs made at once from several
// threads each feed their standard input from a file of their own.
std::atomic<unsigned long> run_count{0};

bool MountTmpfs(const std::string& where)
{
    FakeSystem::MakeDirs(where);
    if (mount("tmpfs", where.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        ADD_FAILURE() << "mount tmpfs on " << where << ": " << strerror(errno);
        return false;
    }
    return true;
}

std::string WithNewline(const std::string& text)
{
    if (text.empty() || text.back() == '\n')
        return text;
    return text + "\n";
}

// Splits the emulator command (a CMake list or a blank-separated command).
std::vector<std::string> SplitCommand(const std::string& text)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : text) {
        if (c == ';' || c == ' ' || c == '\t') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

bool IsNumber(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

void ReadAvailable(int fd, std::string& into, bool& open)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            open = false;
        else if (errno == EINTR)
            continue;
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            open = false;
        return;
    }
}

void PutWord(std::string& bytes, uint32_t offset, uint32_t value)
{
    bytes[offset] = static_cast<char>(value & 0xff);
    bytes[offset + 1] = static_cast<char>((value >> 8) & 0xff);
}

// The function's configuration space: see kConfigSize in fakesys.h.
std::string ConfigSpace(const PciFunction& fn)
{
    std::string bytes(kConfigSize, '\0');
    PutWord(bytes, 0x00, static_cast<uint32_t>(strtoul(fn.vendor.c_str(), nullptr, 16)));
    PutWord(bytes, 0x02, static_cast<uint32_t>(strtoul(fn.device.c_str(), nullptr, 16)));
    PutWord(bytes, kConfigCommand, 0x0000);
    PutWord(bytes, 0x06, 0x0010);  // status: the function has a capability list
    bytes[0x34] = 0x40;            // first capability
    bytes[0x40] = 0x05;            // MSI with 64-bit addresses, 0x40 to 0x4d
    bytes[0x41] = static_cast<char>(fn.pm_cap);
    PutWord(bytes, 0x42, 0x0080);
    bytes[fn.pm_cap] = 0x01;       // power management, last in the list
    PutWord(bytes, fn.pm_cap + 2, 0x0003);           // capabilities: version 3
    PutWord(bytes, fn.pm_cap + kPmControl, 0x0003);  // power state D3hot
    return bytes;
}

// The mounts listed by a mountinfo file opened earlier (read afresh from its
// start, so that it shows the namespace now), in the kernel's order:
// (mount ID, mount point).
std::vector<std::pair<int, std::string>> ListMounts(int mountinfo_fd)
{
    std::string text;
    char buf[8192];
    if (lseek(mountinfo_fd, 0, SEEK_SET) == 0) {
        ssize_t n;
        while ((n = read(mountinfo_fd, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
    }
    std::vector<std::pair<int, std::string>> mounts;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        int id = 0;
        std::string parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point))
            continue;
        // Blanks, tabs, line feeds and backslashes come as octal escapes.
        std::string decoded;
        for (size_t i = 0; i < point.size(); i++) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                decoded += static_cast<char>((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 +
                                             (point[i + 3] - '0'));
                i += 3;
            } else {
                decoded += point[i];
            }
        }
        mounts.emplace_back(id, decoded);
    }
    return mounts;
}

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

FakeSystem::FakeSystem()
{
    if (geteuid() != 0) {
        ADD_FAILURE() << "the fake system needs root";
        return;
    }
    char tmpl[] = "/tmp/qvfw-fakesys-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return;
    }
    scratch_ = tmpl;
    cwd_fd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    chmod(scratch_.c_str(), 0755);
    work_dir_ = scratch_ + "/work";
    bin_dir_ = scratch_ + "/bin";
    record_dir_ = scratch_ + "/records";
    MakeDirs(work_dir_, 0777);
    MakeDirs(bin_dir_);
    MakeDirs(record_dir_, 0777);
    chmod(work_dir_.c_str(), 0777);
    chmod(record_dir_.c_str(), 0777);

    if (!SetUpMounts())
        return;
    SetStandIn("setpci");
    SetStandIn("dkms");
    ok_ = true;
}

FakeSystem::~FakeSystem()
{
    // A test may have gone into the working directory, which goes away now.
    if (cwd_fd_ >= 0) {
        if (fchdir(cwd_fd_) != 0)
            ADD_FAILURE() << "returning to the first working directory: " << strerror(errno);
        close(cwd_fd_);
    }
    RemoveMounts();
    if (!scratch_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(scratch_, ec);
    }
}

bool FakeSystem::SetUpMounts()
{
    if (unshare(CLONE_NEWNS) != 0) {
        ADD_FAILURE() << "unshare(CLONE_NEWNS): " << strerror(errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        ADD_FAILURE() << "making / private: " << strerror(errno);
        return false;
    }
    // The file stays open: /proc itself may be covered later on.
    mountinfo_fd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    for (const auto& m : ListMounts(mountinfo_fd_))
        mounts_before_.insert(m.first);
    if (mounts_before_.empty()) {
        ADD_FAILURE() << "no mount listed in /proc/self/mountinfo";
        return false;
    }
    // /run is private too: the run lock of one test's runs is not that of
    // another test running at the same time.
    for (const char* where : {"/sys/bus/pci/devices", "/sys/devices", "/var/log", "/lib/modules",
                              "/var/lib/dkms", "/usr/src", "/run"})
        if (!MountTmpfs(where))
            return false;
    MakeDirs(ModuleDir());
    return SetUpProcModules();
}

// Takes away every mount made since the namespace was entered (the fake
// system's own and any a test added), newest first, so that the next fake
// system of the same process starts from the machine's own tree. The
// namespace cannot simply be left again with setns: a process with more than
// one thread (a program under qemu-user has its helper threads) may not
// change its mount namespace.
void FakeSystem::RemoveMounts()
{
    if (mountinfo_fd_ < 0)
        return;
    int last_id = -1;
    while (!mounts_before_.empty()) {
        std::vector<std::pair<int, std::string>> added;
        for (const auto& m : ListMounts(mountinfo_fd_))
            if (mounts_before_.count(m.first) == 0)
                added.push_back(m);
        if (added.empty())
            break;
        const std::string& point = added.back().second;
        if (added.back().first == last_id) {
            ADD_FAILURE() << "the mount on " << point << " stays after its unmount";
            break;
        }
        last_id = added.back().first;
        if (umount2(point.c_str(), MNT_DETACH) != 0) {
            ADD_FAILURE() << "unmounting " << point << ": " << strerror(errno);
            break;
        }
    }
    close(mountinfo_fd_);
    mountinfo_fd_ = -1;
}

// /proc/modules: bound over the kernel's file where it has one; otherwise /proc
// becomes a tmpfs holding the modules file and links into a second proc mount.
bool FakeSystem::SetUpProcModules()
{
    struct stat st;
    if (stat("/proc/modules", &st) == 0) {
        modules_file_ = scratch_ + "/modules";
        WriteFile(modules_file_, "");
        if (mount(modules_file_.c_str(), "/proc/modules", nullptr, MS_BIND, nullptr) != 0) {
            ADD_FAILURE() << "binding over /proc/modules: " << strerror(errno);
            return false;
        }
        return true;
    }

    std::vector<std::string> names = ListDir("/proc");
    // Keep a view of the real proc at a staging place, then cover /proc.
    const std::string staging = scratch_ + "/proc-staging";
    MakeDirs(staging);
    if (mount("/proc", staging.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        ADD_FAILURE() << "binding /proc: " << strerror(errno);
        return false;
    }
    if (mount("tmpfs", "/proc", "tmpfs", 0, "mode=0755") != 0) {
        ADD_FAILURE() << "mount tmpfs on /proc: " << strerror(errno);
        return false;
    }
    const std::string host = "/proc/.host";
    MakeDirs(host);
    if (mount("proc", host.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
        umount2(staging.c_str(), MNT_DETACH);
    } else if (mount(staging.c_str(), host.c_str(), nullptr, MS_MOVE, nullptr) != 0) {
        ADD_FAILURE() << "placing the real proc under /proc: " << strerror(errno);
        return false;
    }
    rmdir(staging.c_str());
    for (const std::string& name : names) {
        if (name == "modules" || IsNumber(name))
            continue;
        std::string target = ".host/" + name;
        if (symlink(target.c_str(), ("/proc/" + name).c_str()) != 0) {
            ADD_FAILURE() << "linking /proc/" << name << ": " << strerror(errno);
            return false;
        }
    }
    modules_file_ = "/proc/modules";
    WriteFile(modules_file_, "");
    proc_is_tmpfs_ = true;
    // Processes look themselves up by number too (the sanitizers read
    // /proc/<pid>/task): each process of ours gets its own entry.
    LinkProcEntry(getpid());
    WriteFile(bin_dir_ + "/with-proc-entry",
              "#!/bin/sh\n[ -e /proc/$$ ] || ln -s .host/$$ /proc/$$ 2>/dev/null\nexec \"$@\"\n", 0755);
    return true;
}

void FakeSystem::LinkProcEntry(int pid)
{
    char target[32], link[32];
    snprintf(target, sizeof target, ".host/%d", pid);
    snprintf(link, sizeof link, "/proc/%d", pid);
    symlink(target, link);
}

std::string FakeSystem::KernelRelease()
{
    struct utsname u;
    if (uname(&u) != 0)
        return "";
    return u.release;
}

std::string FakeSystem::ModuleDir()
{
    return "/lib/modules/" + KernelRelease() + "/kernel/drivers/misc";
}

void FakeSystem::SetModules(const std::string& text)
{
    WriteFile(modules_file_, text);
}

bool FakeSystem::MakeModulesUnopenable()
{
    const std::string path = scratch_ + "/modules.socket";
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        ADD_FAILURE() << "socket path too long: " << path;
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // The socket's file stays when the socket is closed.
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0;
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (!bound) {
        ADD_FAILURE() << "making the socket " << path << ": " << strerror(error);
        return false;
    }
    if (mount(path.c_str(), "/proc/modules", nullptr, MS_BIND, nullptr) != 0) {
        ADD_FAILURE() << "binding a socket over /proc/modules: " << strerror(errno);
        return false;
    }
    return true;
}

bool FakeSystem::MakeModulesUnreadable()
{
    const std::string memory = HostProcDir() + "/self/mem";
    if (mount(memory.c_str(), "/proc/modules", nullptr, MS_BIND, nullptr) != 0) {
        ADD_FAILURE() << "binding " << memory << " over /proc/modules: " << strerror(errno);
        return false;
    }
    return true;
}

// ----- PCI -----

std::string FakeSystem::PciPath(const std::string& bdf)
{
    return std::string(kPciDevices) + "/" + bdf;
}

std::string FakeSystem::NodePath(const std::string& bdf) const
{
    auto it = nodes_.find(bdf);
    return it == nodes_.end() ? PciPath(bdf) : it->second;
}

std::string FakeSystem::ResourcePath(const std::string& bdf, int bar) const
{
    return NodePath(bdf) + "/resource" + std::to_string(bar);
}

void FakeSystem::AddPci(const PciFunction& fn)
{
    std::string node = fn.node;
    if (node.empty())
        node = "/sys/devices/pci" + fn.bdf.substr(0, 7) + "/" + fn.bdf + "-switch/up/down/slot/" + fn.bdf;
    if (node.compare(0, 13, "/sys/devices/") != 0)
        ADD_FAILURE() << "PCI node outside /sys/devices/: " << node;
    MakeDirs(node);
    nodes_[fn.bdf] = node;

    if (fn.with_vendor)
        WriteFile(node + "/vendor", WithNewline(fn.vendor));
    if (fn.with_device)
        WriteFile(node + "/device", WithNewline(fn.device));
    if (fn.with_uevent)
        WriteFile(node + "/uevent", fn.uevent.empty() ? "PCI_SLOT_NAME=" + fn.bdf + "\n" : fn.uevent);
    if (fn.pm_cap < 0x50 || fn.pm_cap > kConfigSize - 8 || fn.pm_cap % 4 != 0)
        ADD_FAILURE() << "power-management capability at 0x" << std::hex << fn.pm_cap << ", not 0x50 to 0xf8";
    else
        WriteFile(node + "/config", ConfigSpace(fn));
    if (fn.with_resource0) {
        WriteFile(node + "/resource0", "", 0600);
        if (truncate((node + "/resource0").c_str(), static_cast<off_t>(fn.resource0_size)) != 0)
            ADD_FAILURE() << "sizing resource0: " << strerror(errno);
    }
    if (fn.with_resource2) {
        WriteFile(node + "/resource2", "", 0600);
        if (truncate((node + "/resource2").c_str(), static_cast<off_t>(fn.resource2_size)) != 0)
            ADD_FAILURE() << "sizing resource2: " << strerror(errno);
        for (const auto& reg : fn.regs)
            WriteReg(fn.bdf, reg.first, reg.second);
    }

    // Relative link, as sysfs makes it: /sys/bus/pci/devices/x -> ../../../devices/...
    std::string target = "../../.." + node.substr(4);
    std::string link = PciPath(fn.bdf);
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0)
        ADD_FAILURE() << "linking " << link << ": " << strerror(errno);
}

uint32_t FakeSystem::ReadReg(const std::string& bdf, uint32_t offset) const
{
    unsigned char b[4] = {0, 0, 0, 0};
    int fd = open(ResourcePath(bdf, 2).c_str(), O_RDONLY);
    if (fd < 0) {
        ADD_FAILURE() << "ReadReg: cannot open resource2 of " << bdf;
        return 0;
    }
    if (pread(fd, b, 4, offset) != 4)
        ADD_FAILURE() << "ReadReg: offset 0x" << std::hex << offset << " beyond resource2 of " << bdf;
    close(fd);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void FakeSystem::WriteReg(const std::string& bdf, uint32_t offset, uint32_t value)
{
    unsigned char b[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                          static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    int fd = open(ResourcePath(bdf, 2).c_str(), O_WRONLY);
    if (fd < 0) {
        ADD_FAILURE() << "WriteReg: cannot open resource2 of " << bdf;
        return;
    }
    if (pwrite(fd, b, 4, offset) != 4)
        ADD_FAILURE() << "WriteReg: write failed at 0x" << std::hex << offset;
    close(fd);
}

std::string FakeSystem::ReadMem(const std::string& bdf, size_t offset, size_t len) const
{
    std::string out(len, '\0');
    int fd = open(ResourcePath(bdf, 0).c_str(), O_RDONLY);
    if (fd < 0)
        return "";
    ssize_t n = pread(fd, &out[0], len, static_cast<off_t>(offset));
    close(fd);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

void FakeSystem::WriteMem(const std::string& bdf, size_t offset, const std::string& bytes)
{
    int fd = open(ResourcePath(bdf, 0).c_str(), O_WRONLY);
    if (fd < 0) {
        ADD_FAILURE() << "WriteMem: cannot open resource0 of " << bdf;
        return;
    }
    if (pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(bytes.size()))
        ADD_FAILURE() << "WriteMem: write failed";
    close(fd);
}

// ----- stand-ins -----

void FakeSystem::SetStandIn(const std::string& program, const std::string& body)
{
    const std::string record = "'" + record_dir_ + "/" + program;
    // The targets of fd 1 and 2 are read through copies (7 and 8) made
    // before the command substitution replaces fd 1 with its pipe.
    std::string script = "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + record + ".calls'\n" +
                         "o=closed e=closed\n"
                         "{ e=$(readlink /proc/self/fd/8); } 8>&2 2>/dev/null\n"
                         "{ o=$(readlink /proc/self/fd/7); } 2>/dev/null 7>&1\n"
                         "printf '%s %s\\n' \"$o\" \"$e\" >> " + record + ".outputs'\n" +
                         body + "\n";
    WriteFile(bin_dir_ + "/" + program, script, 0755);
}

void FakeSystem::DropStandIn(const std::string& program)
{
    unlink((bin_dir_ + "/" + program).c_str());
}

std::vector<std::string> FakeSystem::Outputs(const std::string& program) const
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(record_dir_ + "/" + program + ".outputs"));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool FakeSystem::RecordShellCommands()
{
    char real[PATH_MAX];
    if (realpath("/bin/sh", real) == nullptr) {
        ADD_FAILURE() << "resolving /bin/sh: " << strerror(errno);
        return false;
    }
    const std::string dir = scratch_ + "/shell";
    const std::string copy = dir + "/sh";
    const std::string wrapper = dir + "/wrapper";
    MakeDirs(dir);
    std::error_code ec;
    std::filesystem::copy_file(real, copy, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        ADD_FAILURE() << "copying " << real << ": " << ec.message();
        return false;
    }
    chmod(copy.c_str(), 0755);
    // The kernel runs the wrapper with the copy; "$1" "$2" are "-c" and the
    // command text of a system() or popen() call. Texts are NUL-terminated.
    WriteFile(wrapper,
              "#!" + copy + "\n[ \"$1\" = -c ] && printf '%s\\0' \"$2\" >> '" + record_dir_ +
                  "/shell.commands' 2>/dev/null\nexec '" + copy + "' \"$@\"\n",
              0755);
    if (mount(wrapper.c_str(), real, nullptr, MS_BIND, nullptr) != 0) {
        ADD_FAILURE() << "binding the shell wrapper over " << real << ": " << strerror(errno);
        return false;
    }
    return true;
}

std::vector<std::string> FakeSystem::ShellCommands() const
{
    std::vector<std::string> texts;
    std::string all = ReadFile(record_dir_ + "/shell.commands");
    size_t start = 0;
    for (size_t end = all.find('\0'); end != std::string::npos; end = all.find('\0', start)) {
        texts.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return texts;
}

std::vector<std::string> FakeSystem::Calls(const std::string& program) const
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(record_dir_ + "/" + program + ".calls"));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// ----- files -----

void FakeSystem::MakeDirs(const std::string& path, unsigned mode)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (mode != 0755)
        chmod(path.c_str(), mode);
}

void FakeSystem::WriteWorkFile(const std::string& name, const std::string& content)
{
    WriteFile(work_dir_ + "/" + name, content);
}

void FakeSystem::WriteFile(const std::string& path, const std::string& content, unsigned mode)
{
    std::string dir = std::filesystem::path(path).parent_path().string();
    if (!dir.empty())
        MakeDirs(dir);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) {
        ADD_FAILURE() << "WriteFile " << path << ": " << strerror(errno);
        return;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ADD_FAILURE() << "WriteFile " << path << ": " << strerror(errno);
            break;
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, mode);
    close(fd);
}

std::string FakeSystem::ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FakeSystem::Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> FakeSystem::ListDir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

// ----- running -----

std::vector<std::string> FakeSystem::ToolArgv(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = SplitCommand(QVFW_TOOL_EMULATOR);
    argv.push_back(QVFW_TOOL_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

RunResult FakeSystem::Run(const std::vector<std::string>& args, const RunOptions& options) const
{
    return RunProgram(ToolArgv(args), options);
}

RunResult FakeSystem::RunProgram(const std::vector<std::string>& argv, const RunOptions& options) const
{
    RunResult result;
    if (argv.empty()) {
        ADD_FAILURE() << "RunProgram: empty command";
        return result;
    }
    std::string stdin_file = scratch_ + "/stdin-" + std::to_string(++run_count);
    WriteFile(stdin_file, options.stdin_text, 0644);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }

    // Everything the child needs is prepared before fork.
    std::vector<std::string> env_strings;
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string s = *e;
        size_t eq = s.find('=');
        if (eq != std::string::npos)
            env[s.substr(0, eq)] = s.substr(eq + 1);
    }
    env["PATH"] = bin_dir_ + ":" + kStdPath;
    for (const std::string& s : options.env) {
        size_t eq = s.find('=');
        if (eq != std::string::npos)
            env[s.substr(0, eq)] = s.substr(eq + 1);
    }
    for (const auto& kv : env)
        env_strings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (std::string& s : env_strings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    std::vector<char*> cargv;
    for (std::string& s : argv_copy)
        cargv.push_back(&s[0]);
    cargv.push_back(nullptr);
    std::string cwd = options.cwd.empty() ? work_dir_ : options.cwd;
    uid_t uid = 65534;
    gid_t gid = 65534;
    struct passwd pw_entry;
    struct passwd* pw = nullptr;
    char pw_text[4096];
    if (getpwnam_r("nobody", &pw_entry, pw_text, sizeof pw_text, &pw) == 0 && pw != nullptr) {
        uid = pw->pw_uid;
        gid = pw->pw_gid;
    }

    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return result;
    }
    if (pid == 0) {
        setpgid(0, 0);
        int in_fd = open(stdin_file.c_str(), O_RDONLY);
        if (in_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0)
            _exit(126);
        if (chdir(cwd.c_str()) != 0) {
            dprintf(2, "fakesys: chdir %s: %s\n", cwd.c_str(), strerror(errno));
            _exit(126);
        }
        if (proc_is_tmpfs_)
            LinkProcEntry(getpid());
        if (options.umask >= 0)
            umask(static_cast<mode_t>(options.umask));
        if (options.as_nobody) {
            if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) {
                dprintf(2, "fakesys: dropping privileges: %s\n", strerror(errno));
                _exit(126);
            }
        }
        environ = envp.data();
        execvp(cargv[0], cargv.data());
        dprintf(2, "fakesys: exec %s: %s\n", cargv[0], strerror(errno));
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);

    bool out_open = true, err_open = true, exited = false;
    int wstatus = 0;
    const double deadline = Now() + options.timeout_sec;
    while (!exited) {
        struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        poll(fds, 2, 50);
        if (out_open)
            ReadAvailable(out_pipe[0], result.out, out_open);
        if (err_open)
            ReadAvailable(err_pipe[0], result.err, err_open);
        pid_t w = waitpid(pid, &wstatus, WNOHANG);
        if (w == pid) {
            exited = true;
        } else if (Now() > deadline) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            exited = true;
        }
    }
    // Collect what is left; processes the child left behind may keep a pipe
    // open, so read only for a short while.
    const double drain_end = Now() + 2.0;
    while ((out_open || err_open) && Now() < drain_end) {
        struct pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
        poll(fds, 2, 50);
        if (out_open)
            ReadAvailable(out_pipe[0], result.out, out_open);
        if (err_open)
            ReadAvailable(err_pipe[0], result.err, err_open);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    unlink(stdin_file.c_str());

    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signaled = true;
        result.signal = WTERMSIG(wstatus);
        result.status = 128 + result.signal;
    }
    if (result.timed_out)
        ADD_FAILURE() << "timed out after " << options.timeout_sec << " s: " << argv[0];
    return result;
}

} // namespace fakesys
