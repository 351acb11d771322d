// The real binary over the fake system: the driver check and the taking out
// and putting back of the driver package and module file, with the recording
// dkms stand-in and with the system's own dkms.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine_fixtures.h"
#include "fakesys.h"
#include "scpu_responder.h"
#include "tmux_session.h"

using namespace engine_fixtures;
using fakesys::FakeSystem;
using fakesys::PciFunction;

namespace {

const char* const REFUSAL = "Please unload Brenvoda GPU driver firstly.\n";
const char* const CRC_FAILURE = "\nCRC check failed! \nPlease confirm your firmware file is correct.\n";
const char* const REBOOT_REQUEST = "IMPORTANT:\n    Please reboot system before upgrading firmware !!!\n\n";
const char* const STATE_FILE = "/var/log/dkms.log";
const char* const REINSTALLED = "Success to reinstall nudra from dkms tree. \n";
const char* const DISCARDED = " > /dev/null 2>&1";
const char* const RECORD_UNREAD =
    "Failed to read the driver package record /var/log/dkms.log: it is not a regular file of its own or cannot be "
    "read, nothing is reinstalled and it is left in place. \n";

std::string module_file() { return FakeSystem::ModuleDir() + "/brenvoda.ko"; }
std::string backup_file() { return FakeSystem::ModuleDir() + "/brenvoda.ko.bk"; }

std::string not_recorded(const std::string& version)
{
    return "Left the driver package nudra/" + version +
           " installed: its version could not be recorded in /var/log/dkms.log. \n";
}

std::string not_reinstalled(const std::string& version)
{
    return "Failed to reinstall nudra/" + version + " from dkms tree, /var/log/dkms.log is kept for a later run. \n";
}

std::string skip_line(const std::string& bdf)
{
    return "[" + bdf + "] passthrough VM and the driver on the VM has been loaded, skip upgrade.\n";
}

// The shell texts of the driver safeguards among all that the run started.
std::vector<std::string> driver_commands(const FakeSystem& fs)
{
    std::vector<std::string> texts;
    for (const std::string& text : fs.ShellCommands())
        if (text.find("dkms") != std::string::npos || text.find("nudra") != std::string::npos ||
            text.find("brenvoda") != std::string::npos)
            texts.push_back(text);
    return texts;
}

// The two module-file moves as the shell receives them: two blanks between the paths.
std::string take_out_move() { return "mv " + module_file() + "  " + backup_file(); }
std::string put_back_move() { return "mv " + backup_file() + "  " + module_file(); }

// A board of the given product code whose verification register passes or fails.
PciFunction checked_board(const std::string& bdf, uint32_t code, bool verified)
{
    PciFunction fn = jq_board(bdf, code, 0, version_word(1, 4, 0));
    fn.regs[BAUD_REG] = verified ? 0xFF05FFFF : 0x00500000;
    return fn;
}

// A JQ-R33-16 board (product code 1).
PciFunction r33_16(const std::string& bdf, bool verified) { return checked_board(bdf, 1, verified); }

// A board passed through to a virtual machine whose driver is loaded: the run
// skips it, so the board loop completes at once, without any mailbox command.
PciFunction skipped(PciFunction fn)
{
    fn.uevent = "DRIVER=vfio-pci\nPCI_SLOT_NAME=" + fn.bdf + "\n";
    fn.regs[JQ_RING_REG] = 1;
    return fn;
}

// The driver package nudra 1.2.3 as the system's dkms takes it: its source
// directory under /usr/src, whose build writes brenvoda.ko from the source
// file (no kernel build), and, when with_headers, the kernel headers
// that dkms looks for.
void add_package_source(bool with_headers = true)
{
    const std::string src = "/usr/src/nudra-1.2.3/";
    FakeSystem::WriteFile(src + "dkms.conf",
                          "PACKAGE_NAME=\"nudra\"\nPACKAGE_VERSION=\"1.2.3\"\n"
                          "BUILT_MODULE_NAME[0]=\"brenvoda\"\nDEST_MODULE_LOCATION[0]=\"/updates/dkms\"\n"
                          "MAKE[0]=\"make\"\nCLEAN=\"true\"\nSTRIP[0]=\"no\"\n");
    FakeSystem::WriteFile(src + "Makefile", "brenvoda.ko: brenvoda.c\n\tcp brenvoda.c brenvoda.ko\n");
    FakeSystem::WriteFile(src + "brenvoda.c", "/* the brenvoda module */\n");
    if (with_headers)
        FakeSystem::MakeDirs("/lib/modules/" + FakeSystem::KernelRelease() + "/build/include");
}

// Runs that start the system's own dkms: it is slow on a loaded machine, so
// the runner's kill time is generous.
fakesys::RunOptions dkms_run()
{
    fakesys::RunOptions options;
    options.timeout_sec = 600;
    return options;
}

// What `dkms status` says of the package: "" when it is not in the DKMS tree.
std::string package_status(const FakeSystem& fs)
{
    auto r = fs.RunProgram({"dkms", "status", "nudra/1.2.3"}, dkms_run());
    return r.out;
}

// The first size bytes of the file at path; fewer when it is shorter or
// cannot be read.
std::string head(const std::string& path, size_t size)
{
    std::string bytes(size, '\0');
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? pread(fd, &bytes[0], size, 0) : -1;
    if (fd >= 0)
        close(fd);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
}

bool installed(const std::string& status)
{
    return status.find("nudra/1.2.3, " + FakeSystem::KernelRelease() + ", ") == 0 &&
           status.find(": installed") != std::string::npos;
}

} // namespace

TEST(EngineDriver, LoadedDriverStopsTheRun)
{
    struct Case {
        const char* modules;
        bool loaded;
    };
    const Case cases[] = {
        {"brenvoda 16384 0 - Live 0x0000000000000000\n", true},
        {"snd 1 0 - Live 0x0\nzk_driver 20480 1 - Live 0x0\n", true},
        {"drm 600000 3 brenvoda,zk_driver, Live 0x0\n", false},  // only users of another module
        {"brenvoda_helper 100 0 - Live 0x0\nzk_driver2 1 0 - Live 0x0\n", false},
        {"snd 1 0 - Live 0x0\nzk_driver\t20480 1 - Live 0x0\n", true},  // a tab ends the name too
        {"brenvoda\n", false},  // the line feed is part of the first field
        {"", false},
    };
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:03:00.0", 4, 0, version_word(1, 0, 0)));
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64), true).text);
    for (const Case& c : cases) {
        std::error_code ec;
        std::filesystem::remove_all("/var/log/qvFwTool", ec);  // a fresh log per case
        fs.SetModules(c.modules);
        auto r = fs.Run({"--silent"});
        EXPECT_EQ(r.status, 255) << c.modules;
        // Without the driver the run goes on to the image check, which fails here.
        EXPECT_EQ(r.err, c.loaded ? REFUSAL : CRC_FAILURE) << c.modules;
        std::string log = log_text();
        EXPECT_TRUE(ends_with(log, "Qvfw-tool is exit ...\n\n")) << c.modules;
        // No board of products 8 and 11: none is examined.
        EXPECT_EQ(log.find("BDF["), std::string::npos) << c.modules;
    }
}

// A module list that cannot be opened, or opens but cannot be read, is no
// proof that the driver is out: the run stops before any board is examined,
// with nothing taken out (the board here fails its check, so a run that went
// on would take the driver out) and nothing written.
TEST(EngineDriver, UnopenableModuleListStopsTheRun)
{
    struct Case {
        const char* what;
        bool opens;  // the list opens, and its read fails
        const char* failure;
    };
    const Case cases[] = {
        {"cannot be opened", false,
         "Failed to open '/proc/modules', cannot tell whether the GPU driver is loaded.\n"},
        {"cannot be read", true, "Failed to read '/proc/modules', cannot tell whether the GPU driver is loaded.\n"},
    };
    for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(r33_16("0000:03:00.0", false));
    FakeSystem::MakeDirs("/var/lib/dkms/nudra/1.2.3");
    FakeSystem::WriteFile(module_file(), "module");
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(2, 0, 3), pattern(64)).text);
    ASSERT_TRUE(c.opens ? fs.MakeModulesUnreadable() : fs.MakeModulesUnopenable());

    auto r = fs.Run({"--silent"});
    const std::string failure = c.failure;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, failure);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_FALSE(FakeSystem::Exists(STATE_FILE));
    EXPECT_EQ(FakeSystem::ReadFile(module_file()), "module");
    EXPECT_FALSE(FakeSystem::Exists(backup_file()));
    EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 16), std::string(16, '\0'));
    std::string log = log_text();
    EXPECT_EQ(log.find("BDF["), std::string::npos) << log;
    EXPECT_TRUE(ends_with(log, "[    FATAL]  " + failure + "Qvfw-tool is exit ...\n\n")) << log;
    }
}

// A JQ-R33-16 or JQ-R610-32 board whose verification fails takes the driver
// out: the package version is recorded and removed, the module file moved
// aside, a reboot asked for. The first failing board ends the examination.
static void expect_taken_out(uint32_t code)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(jq_board("0000:02:00.0", 4, 0, version_word(1, 0, 0)));  // the firmware's target
    fs.AddPci(checked_board("0000:03:00.0", code, false));
    fs.AddPci(checked_board("0000:05:00.0", code, false));
    FakeSystem::MakeDirs("/var/lib/dkms/nudra/1.2.3");
    FakeSystem::WriteFile(module_file(), "module");
    fs.WriteWorkFile("zk_firmware.hex", headered(4, 0, version_word(2, 0, 3), pattern(64)).text);
    ASSERT_TRUE(fs.RecordShellCommands());

    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, REBOOT_REQUEST);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fs.DkmsCalls(), std::vector<std::string>{"remove nudra/1.2.3 --all"});
    EXPECT_EQ(fs.Outputs("dkms"), std::vector<std::string>{"/dev/null /dev/null"});
    // The version is written by the program itself, not by a shell redirect.
    EXPECT_EQ(driver_commands(fs),
              (std::vector<std::string>{std::string("dkms remove nudra/1.2.3 --all") + DISCARDED, take_out_move()}));
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    EXPECT_FALSE(FakeSystem::Exists(module_file()));
    EXPECT_EQ(FakeSystem::ReadFile(backup_file()), "module");
    EXPECT_EQ(fs.ReadMem("0000:02:00.0", 0x800, 16), std::string(16, '\0'));

    std::string log = log_text();
    size_t examined = log.find("BDF[ 0000:0");
    ASSERT_NE(examined, std::string::npos) << log;
    EXPECT_EQ(log.compare(examined - 13, 13, "[     Info]  "), 0) << log;
    EXPECT_EQ(log.find("BDF[", examined + 1), std::string::npos) << log;
    EXPECT_NE(log.find("Success to remove file of brenvoda.ko (/lib/modules/" + FakeSystem::KernelRelease() +
                       "/kernel/drivers/misc/brenvoda.ko). \n\n"),
              std::string::npos);
    EXPECT_TRUE(ends_with(log, std::string("[    FATAL]  ") + REBOOT_REQUEST + "Qvfw-tool is exit ...\n\n"));
}

TEST(EngineDriver, FailedVerificationTakesTheDriverOut)
{
    expect_taken_out(1);
}

TEST(EngineDriver, FailedVerificationOfAJqR610_32TakesTheDriverOut)
{
    expect_taken_out(0);
}

// Taking out without a package version directory and without a module file:
// nothing is run or moved, the reboot is still asked for.
TEST(EngineDriver, TakingOutWithNothingInstalled)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(r33_16("0000:03:00.0", false));
    FakeSystem::WriteFile(STATE_FILE, "nudra/1.0.0\n");  // left by an earlier run
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(2, 0, 3), pattern(64)).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, REBOOT_REQUEST);
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.0.0\n");
    EXPECT_FALSE(FakeSystem::Exists(backup_file()));
    EXPECT_EQ(log_text().find("Success to remove file"), std::string::npos);
}

// A run whose board loop completes with a JQ-R33-16 board present puts the
// driver back. The package is reinstalled when /usr/src holds
// "<6 characters><version>" as the first directory naming the version; the
// state file goes only once `dkms install` succeeded, or when it names no
// version at all. The module file moves back in any case.
TEST(EngineDriver, LaterRunPutsTheDriverBack)
{
    struct Case {
        const char* what;
        const char* state;                 // content of the state file
        std::vector<std::string> sources;  // directories under /usr/src
        const char* dkms_body;             // the dkms stand-in's shell text
        std::vector<std::string> dkms;     // expected dkms calls
        const char* kept_for;              // version named when the state file stays, else null
    };
    const std::vector<Case> cases = {
        {"package source present", "nudra/1.2.3\n", {"linux-6.1", "nudra-1.2.3"}, "",
         {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"}, nullptr},
        {"dkms install fails", "nudra/1.2.3\n", {"nudra-1.2.3"}, "[ \"$1\" != install ]",
         {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"}, "1.2.3"},
        // Only add and build fail: the install's status decides.
        {"add and build fail", "nudra/1.2.3\n", {"nudra-1.2.3"}, "[ \"$1\" = install ]",
         {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"}, nullptr},
        {"source named with a longer suffix", "nudra/1.2\n", {"nudra-1.2.3"}, "", {}, "1.2"},
        {"no source directory", "nudra/1.2.3\n", {}, "", {}, "1.2.3"},
        // Names shorter than the six characters before the version, listed before and after the source.
        {"short names beside the source", "nudra/1.2.3\n", {"a", "src", "nudra-1.2.3", "debug"}, "",
         {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"}, nullptr},
        {"state file without a version", "removed\n", {"nudra-"}, "", {}, nullptr},
        // The first "nudra/" token names the version; it ends at white space or the end of the file.
        {"first of several tokens", "x nudra/1.2.3\tnudra/2.0\nnudra/3.0\n", {"nudra-1.2.3"}, "",
         {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"}, nullptr},
        {"no line end", "nudra/1.2.3", {"nudra-1.2.3"}, "",
         {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"}, nullptr},
        // Text that is no version never reaches a shell command.
        {"shell text in the state file", "nudra/1.2;x\n", {"nudra-1.2;x"}, "", {}, "1.2;x"},
    };
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(skipped(r33_16("0000:03:00.0", true)));
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(64)).text);
    ASSERT_TRUE(fs.RecordShellCommands());
    for (const Case& c : cases) {
        std::error_code ec;
        for (const std::string& old : FakeSystem::ListDir("/usr/src"))
            std::filesystem::remove_all("/usr/src/" + old, ec);
        std::filesystem::remove(module_file(), ec);
        std::filesystem::remove_all("/var/log/qvFwTool", ec);  // a fresh log per case
        FakeSystem::WriteFile(STATE_FILE, c.state);
        FakeSystem::WriteFile(backup_file(), "module");
        for (const std::string& dir : c.sources)
            FakeSystem::MakeDirs("/usr/src/" + dir);
        fs.SetStandIn("dkms", c.dkms_body);
        size_t earlier_calls = fs.DkmsCalls().size();
        size_t earlier_texts = driver_commands(fs).size();

        auto r = fs.Run({"--silent"});
        EXPECT_EQ(r.status, 255) << c.what;  // the only board was skipped
        std::vector<std::string> calls = fs.DkmsCalls();
        calls.erase(calls.begin(), calls.begin() + static_cast<long>(earlier_calls));
        EXPECT_EQ(calls, c.dkms) << c.what;
        std::vector<std::string> outputs = fs.Outputs("dkms");
        EXPECT_EQ(std::vector<std::string>(outputs.begin() + static_cast<long>(earlier_calls), outputs.end()),
                  std::vector<std::string>(c.dkms.size(), "/dev/null /dev/null"))
            << c.what;
        bool kept = c.kept_for != nullptr;
        EXPECT_EQ(r.err, skip_line("0000:03:00.0") + (kept ? not_reinstalled(c.kept_for) : "")) << c.what;
        EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), kept ? c.state : "") << c.what;
        EXPECT_EQ(FakeSystem::Exists(STATE_FILE), kept) << c.what;
        EXPECT_EQ(FakeSystem::ReadFile(module_file()), "module") << c.what;
        EXPECT_FALSE(FakeSystem::Exists(backup_file())) << c.what;

        // The commands exactly as the shell received them.
        std::vector<std::string> expected;
        for (const std::string& call : c.dkms)
            expected.push_back("dkms " + call + DISCARDED);
        if (!kept)
            expected.push_back(std::string("rm -f /var/log/dkms.log") + DISCARDED);
        expected.push_back(put_back_move());
        std::vector<std::string> texts = driver_commands(fs);
        texts.erase(texts.begin(), texts.begin() + static_cast<long>(earlier_texts));
        EXPECT_EQ(texts, expected) << c.what;

        std::string log = log_text();
        EXPECT_NE(log.find("Start reinstall nudra from dkms tree. \n"), std::string::npos) << c.what;
        EXPECT_EQ(log.find(REINSTALLED) != std::string::npos, !kept && !c.dkms.empty()) << c.what;
        EXPECT_NE(log.find("Success to restore file of brenvoda.ko. \n"), std::string::npos) << c.what;
    }
}

// The package source is found behind other /usr/src entries whose names hold
// the version: kernel headers, a longer version, a plain file named like the
// source. Such entries stand both before and after it, so one of them comes
// first in whatever order the listing gives.
TEST(EngineDriver, PutBackPassesOverOtherNamesHoldingTheVersion)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(skipped(r33_16("0000:03:00.0", true)));
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(64)).text);
    FakeSystem::WriteFile(STATE_FILE, "nudra/1.0\n");
    FakeSystem::MakeDirs("/usr/src/linux-headers-6.1.0-10-amd64");
    FakeSystem::MakeDirs("/usr/src/nudra-1.0.1");
    FakeSystem::WriteFile("/usr/src/nudra_1.0", "");
    FakeSystem::MakeDirs("/usr/src/nudra-1.0");
    FakeSystem::WriteFile("/usr/src/srcpkg1.0", "");
    FakeSystem::MakeDirs("/usr/src/linux-kbuild-6.1.0-10");
    std::vector<std::string> listed = FakeSystem::ListDir("/usr/src");
    ASSERT_EQ(listed.size(), 6u);
    ASSERT_NE(listed.front(), "nudra-1.0");
    ASSERT_NE(listed.back(), "nudra-1.0");

    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.err, skip_line("0000:03:00.0"));
    EXPECT_EQ(fs.DkmsCalls(), (std::vector<std::string>{"add nudra/1.0", "build nudra/1.0", "install nudra/1.0"}));
    EXPECT_FALSE(FakeSystem::Exists(STATE_FILE));
    EXPECT_NE(log_text().find(REINSTALLED), std::string::npos);
}

// A record path that holds anything but a regular file of its own (or one
// that cannot be opened) is neither followed nor waited on: the put-back
// says so, reinstalls nothing, leaves the entry as it is and still moves the
// module file back. The package source is there, so a record that was
// followed would be reinstalled.
TEST(EngineDriver, RecordThatIsNoRegularFileStays)
{
    enum class Kind { Fifo, LinkToFifo, LinkToRecord, Directory, HardLink, Unopenable, ReadFails };
    struct Case {
        const char* what;
        Kind kind;
    };
    const Case cases[] = {
        {"FIFO", Kind::Fifo},
        {"symbolic link to a FIFO", Kind::LinkToFifo},
        {"symbolic link to a record", Kind::LinkToRecord},
        {"directory", Kind::Directory},
        {"hard-linked record", Kind::HardLink},
        // A sysfs attribute that only takes writes: a regular file that root cannot open for reading.
        {"file that cannot be opened", Kind::Unopenable},
        // The test's own memory file: root's, mode 0600, and a read at offset 0 fails with EIO.
        {"file whose read fails", Kind::ReadFails},
    };
    const std::string record = "/var/log/record";
    const std::string fifo = "/var/log/fifo";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        fs.AddPci(skipped(r33_16("0000:03:00.0", true)));
        fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(64)).text);
        FakeSystem::WriteFile(backup_file(), "module");
        FakeSystem::MakeDirs("/usr/src/nudra-1.2.3");
        FakeSystem::WriteFile(record, "nudra/1.2.3\n");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
        switch (c.kind) {
        case Kind::Fifo:
            ASSERT_EQ(mkfifo(STATE_FILE, 0644), 0);
            break;
        case Kind::LinkToFifo:
            ASSERT_EQ(symlink(fifo.c_str(), STATE_FILE), 0);
            break;
        case Kind::LinkToRecord:
            ASSERT_EQ(symlink(record.c_str(), STATE_FILE), 0);
            break;
        case Kind::Directory:
            FakeSystem::MakeDirs(STATE_FILE);
            break;
        case Kind::HardLink:
            ASSERT_EQ(link(record.c_str(), STATE_FILE), 0);
            break;
        case Kind::Unopenable:
            FakeSystem::WriteFile(STATE_FILE, "");
            ASSERT_EQ(mount("/sys/bus/pci/rescan", STATE_FILE, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
            break;
        case Kind::ReadFails:
            FakeSystem::WriteFile(STATE_FILE, "");
            ASSERT_EQ(mount((fs.HostProcDir() + "/self/mem").c_str(), STATE_FILE, nullptr, MS_BIND, nullptr), 0)
                << strerror(errno);
            break;
        }
        struct stat before;
        ASSERT_EQ(lstat(STATE_FILE, &before), 0);

        fakesys::RunOptions options;
        options.timeout_sec = 30;
        auto r = fs.Run({"--silent"}, options);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, skip_line("0000:03:00.0") + RECORD_UNREAD);
        EXPECT_TRUE(fs.DkmsCalls().empty());
        struct stat after;
        ASSERT_EQ(lstat(STATE_FILE, &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
        EXPECT_EQ(FakeSystem::ReadFile(record), "nudra/1.2.3\n");
        EXPECT_EQ(FakeSystem::ReadFile(module_file()), "module");
        EXPECT_FALSE(FakeSystem::Exists(backup_file()));
        std::string log = log_text();
        EXPECT_NE(log.find(std::string("[    FATAL]  ") + RECORD_UNREAD), std::string::npos) << log;
        EXPECT_EQ(log.find(REINSTALLED), std::string::npos) << log;
        EXPECT_NE(log.find("Success to restore file of brenvoda.ko. \n"), std::string::npos) << log;
    }
}

// A put-back that leaves the driver out fails the run, also when every board
// was upgraded: the record stays for a later run and the run ends with 255,
// so that an unattended run does not reboot into a system without its GPU
// driver. A record is one short line from a root-owned file that no one else
// may write: a longer file, or one that another user owns or may write, is
// left in place, unread and unchanged, and nothing is reinstalled. The board
// is upgraded and the module file moved back in each case.
TEST(EngineDriver, PutBackThatLeavesTheDriverOutFailsTheRun)
{
    enum class Record { Plain, Limit, OverLimit, Huge, OtherOwner, GroupWritable, OthersWritable };
    struct Case {
        const char* what;
        Record record;
        bool source;            // /usr/src holds nudra-1.2.3
        const char* dkms_body;  // the dkms stand-in's shell text
        bool mv_moves;          // mv really moves (else a stand-in that only reports success)
        std::string failure;    // stderr after the board's lines; empty: the driver is put back
    };
    const std::string untrusted = "Failed to read the driver package record /var/log/dkms.log: it is not owned by "
                                  "root or others may write it, nothing is reinstalled and it is left in place. \n";
    const std::string too_long = "Failed to read the driver package record /var/log/dkms.log: it is longer than "
                                 "4096 bytes, nothing is reinstalled and it is left in place. \n";
    const std::vector<Case> cases = {
        {"put back", Record::Plain, true, "", true, ""},
        {"a record of 4096 bytes", Record::Limit, true, "", true, ""},
        {"dkms install fails", Record::Plain, true, "[ \"$1\" != install ]", true, not_reinstalled("1.2.3")},
        {"no source directory", Record::Plain, false, "", true, not_reinstalled("1.2.3")},
        {"a record of 4097 bytes", Record::OverLimit, true, "", true, too_long},
        {"a record of 256 MiB", Record::Huge, true, "", true, too_long},
        {"a record owned by another user", Record::OtherOwner, true, "", true, untrusted},
        {"a record the group may write", Record::GroupWritable, true, "", true, untrusted},
        {"a record others may write", Record::OthersWritable, true, "", true, untrusted},
        {"module file not moved back", Record::Plain, true, "", false,
         "Failed to move " + FakeSystem::ModuleDir() + "/brenvoda.ko.bk back to brenvoda.ko. \n"},
    };
    const std::string line = "nudra/1.2.3\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        fs.AddPci(r33_16("0000:03:00.0", true));
        Image fw = headered(1, 0, version_word(1, 4, 1), pattern(64));
        fs.WriteWorkFile("zk_firmware.hex", fw.text);
        FakeSystem::WriteFile(backup_file(), "module");
        if (c.source)
            FakeSystem::MakeDirs("/usr/src/nudra-1.2.3");
        fs.SetStandIn("dkms", c.dkms_body);
        if (!c.mv_moves)
            fs.SetStandIn("mv", "exit 0");
        std::string record = line;
        unsigned mode = 0644;
        switch (c.record) {
        case Record::Plain:
        case Record::OtherOwner:
            break;
        case Record::Limit:
            record += std::string(4096 - line.size(), ' ');
            break;
        case Record::OverLimit:
            record += std::string(4097 - line.size(), ' ');
            break;
        case Record::Huge:
            break;  // made sparse below
        case Record::GroupWritable:
            mode = 0664;
            break;
        case Record::OthersWritable:
            mode = 0646;
            break;
        }
        FakeSystem::WriteFile(STATE_FILE, record, mode);
        if (c.record == Record::Huge) {
            ASSERT_EQ(truncate(STATE_FILE, 256L << 20), 0);
        }
        if (c.record == Record::OtherOwner) {
            ASSERT_EQ(chown(STATE_FILE, 65534, 65534), 0);
        }
        struct stat before;
        ASSERT_EQ(stat(STATE_FILE, &before), 0);
        ScpuResponder scpu;
        scpu.Add({resource2("0000:03:00.0")});
        ASSERT_TRUE(scpu.Start()) << scpu.Error();

        auto r = fs.Run({"--silent"});
        scpu.Stop();
        const bool put_back = c.failure.empty();
        EXPECT_EQ(r.status, put_back ? 0 : 255);
        EXPECT_EQ(r.out, START_LINE + success("0000:03:00.0", "1.4.0", "1.4.1") + reboot_advice("1.4.1"));
        EXPECT_EQ(r.err, c.failure);
        EXPECT_EQ(scpu.Commands(resource2("0000:03:00.0")).size(), 1u);
        const bool read = c.record == Record::Plain || c.record == Record::Limit;
        const std::vector<std::string> reinstall = {"add nudra/1.2.3", "build nudra/1.2.3", "install nudra/1.2.3"};
        EXPECT_EQ(fs.DkmsCalls(), read && c.source ? reinstall : std::vector<std::string>{});
        // The record goes only once the package is installed again; otherwise it stays as it was.
        const bool reinstalled = read && c.source && std::string(c.dkms_body).empty();
        EXPECT_EQ(FakeSystem::Exists(STATE_FILE), !reinstalled);
        if (!reinstalled) {
            struct stat after;
            ASSERT_EQ(stat(STATE_FILE, &after), 0);
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_size, before.st_size);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_uid, before.st_uid);
            if (c.record != Record::Huge) {
                EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), record);
            }
        }
        EXPECT_EQ(FakeSystem::Exists(module_file()), c.mv_moves);
        std::string log = log_text();
        EXPECT_EQ(log.find(REINSTALLED) != std::string::npos, reinstalled) << log;
        if (!put_back) {
            EXPECT_NE(log.find("[    FATAL]  " + c.failure), std::string::npos) << log;
        }
        EXPECT_TRUE(ends_with(log, "Qvfw-tool is exit ...\n\n")) << log;
    }
}

// The record that a take-out writes is root's and mode 0644, whatever the
// umask of the run, so that no other user can change the version that the
// put-back reinstalls.
TEST(EngineDriver, RecordIsMadeRootOnlyWritableWhateverTheUmask)
{
    for (int mask : {0000, 0077, 0022}) {
        SCOPED_TRACE(mask);
        FakeSystem fs;
        ASSERT_TRUE(fs.ok());
        fs.AddPci(r33_16("0000:03:00.0", false));
        FakeSystem::MakeDirs("/var/lib/dkms/nudra/1.2.3");
        fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(2, 0, 3), pattern(64)).text);
        fakesys::RunOptions options;
        options.umask = mask;
        auto r = fs.Run({"--silent"}, options);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, REBOOT_REQUEST);
        EXPECT_EQ(fs.DkmsCalls(), std::vector<std::string>{"remove nudra/1.2.3 --all"});
        struct stat st;
        ASSERT_EQ(stat(STATE_FILE, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    }
}

// The version cannot be recorded, because the state file cannot be written,
// its path holds a link, or it holds a file that the put-back would not trust:
// the package stays installed and the run says so; a link is refused and left
// as it is, the file it names is not touched, and no other file there is
// truncated.
TEST(EngineDriver, PackageStaysWhenItsVersionCannotBeRecorded)
{
    enum class Kind { Full, ReadOnly, SymbolicLink, HardLink, OtherOwner, GroupWritable, OthersWritable, Long, Huge };
    struct Case {
        const char* what;
        Kind kind;
    };
    const Case cases[] = {
        {"full file system", Kind::Full},
        {"read-only file", Kind::ReadOnly},
        {"symbolic link", Kind::SymbolicLink},
        {"hard link", Kind::HardLink},
        // A record that another user owns or may write is not written into.
        {"owned by another user", Kind::OtherOwner},
        {"group may write it", Kind::GroupWritable},
        {"others may write it", Kind::OthersWritable},
        // Nor is a root-owned 0644 file longer than a record.
        {"a file of 4097 bytes", Kind::Long},
        {"a sparse file of 8 GiB", Kind::Huge},
    };
    const off_t huge_size = off_t(8) << 30;
    const std::string target = "/var/log/precious";
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(r33_16("0000:03:00.0", false));
    FakeSystem::MakeDirs("/var/lib/dkms/nudra/1.2.3");
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(2, 0, 3), pattern(64)).text);
    for (const Case& c : cases) {
        std::error_code ec;
        std::filesystem::remove(STATE_FILE, ec);
        std::filesystem::remove(backup_file(), ec);
        std::filesystem::remove_all("/var/log/qvFwTool", ec);  // a fresh log per case
        FakeSystem::WriteFile(module_file(), "module");
        FakeSystem::WriteFile(target, "keep me\n");
        std::string before = "nudra/1.0.0\n";  // what the state file holds before the run
        switch (c.kind) {
        case Kind::Full: {
            // The state file lies on a file system with no free block left.
            const std::string full = fs.ScratchDir() + "/full";
            FakeSystem::MakeDirs(full);
            ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=16k"), 0) << c.what;
            FakeSystem::WriteFile(full + "/dkms.log", "");
            int fd = open((full + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
            std::string block(4096, 'x');
            while (write(fd, block.data(), block.size()) > 0) {
            }
            close(fd);
            FakeSystem::WriteFile(STATE_FILE, "");
            ASSERT_EQ(mount((full + "/dkms.log").c_str(), STATE_FILE, nullptr, MS_BIND, nullptr), 0) << c.what;
            before = "";
            break;
        }
        case Kind::ReadOnly:
            FakeSystem::WriteFile(STATE_FILE, before);
            ASSERT_EQ(mount(STATE_FILE, STATE_FILE, nullptr, MS_BIND, nullptr), 0) << c.what;
            ASSERT_EQ(mount(nullptr, STATE_FILE, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0) << c.what;
            break;
        case Kind::SymbolicLink:
            ASSERT_EQ(symlink(target.c_str(), STATE_FILE), 0) << c.what;
            before = "keep me\n";
            break;
        case Kind::HardLink:
            ASSERT_EQ(link(target.c_str(), STATE_FILE), 0) << c.what;
            before = "keep me\n";
            break;
        case Kind::OtherOwner:
            FakeSystem::WriteFile(STATE_FILE, before);
            ASSERT_EQ(chown(STATE_FILE, 65534, 65534), 0) << c.what;
            break;
        case Kind::GroupWritable:
            FakeSystem::WriteFile(STATE_FILE, before, 0664);
            break;
        case Kind::OthersWritable:
            FakeSystem::WriteFile(STATE_FILE, before, 0646);
            break;
        case Kind::Long:
            before += std::string(4097 - before.size(), 'x');
            FakeSystem::WriteFile(STATE_FILE, before);
            break;
        case Kind::Huge:
            FakeSystem::WriteFile(STATE_FILE, before);
            ASSERT_EQ(truncate(STATE_FILE, huge_size), 0) << c.what;
            break;
        }

        auto r = fs.Run({"--silent"});
        EXPECT_EQ(r.status, 255) << c.what;
        EXPECT_EQ(r.err, not_recorded("1.2.3") + REBOOT_REQUEST) << c.what;
        EXPECT_TRUE(fs.DkmsCalls().empty()) << c.what;
        if (c.kind == Kind::Huge) {
            struct stat st;
            ASSERT_EQ(stat(STATE_FILE, &st), 0) << c.what;
            EXPECT_EQ(st.st_size, huge_size) << c.what;
            EXPECT_EQ(head(STATE_FILE, before.size()), before) << c.what;
        } else {
            EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), before) << c.what;
        }
        EXPECT_EQ(FakeSystem::ReadFile(target), "keep me\n") << c.what;
        if (c.kind == Kind::SymbolicLink) {
            EXPECT_TRUE(std::filesystem::is_symlink(STATE_FILE)) << c.what;
        }
        // The module file is still moved aside and the reboot asked for.
        EXPECT_EQ(FakeSystem::ReadFile(backup_file()), "module") << c.what;
        EXPECT_NE(log_text().find("[    FATAL]  " + not_recorded("1.2.3")), std::string::npos) << c.what;
        if (c.kind == Kind::Full || c.kind == Kind::ReadOnly)
            umount2(STATE_FILE, MNT_DETACH);
        if (c.kind == Kind::Full)
            umount2((fs.ScratchDir() + "/full").c_str(), MNT_DETACH);
    }
}

// A move that leaves the module file where it was is reported, not claimed:
// here an mv that reports success without moving anything.
TEST(EngineDriver, ModuleFileMoveThatDidNotHappen)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.SetStandIn("mv", "exit 0");
    const std::string release = FakeSystem::KernelRelease();
    const std::string dir = "/lib/modules/" + release + "/kernel/drivers/misc/";

    fs.AddPci(skipped(r33_16("0000:03:00.0", false)));
    FakeSystem::WriteFile(module_file(), "module");
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(2, 0, 3), pattern(64)).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.err, "Failed to move " + dir + "brenvoda.ko to brenvoda.ko.bk. \n" + REBOOT_REQUEST);
    EXPECT_EQ(fs.Calls("mv"), std::vector<std::string>{module_file() + " " + backup_file()});
    EXPECT_EQ(log_text().find("Success to remove file"), std::string::npos);
    EXPECT_EQ(FakeSystem::ReadFile(module_file()), "module");

    // The putting back: the backup stays where it is.
    std::error_code ec;
    std::filesystem::rename(module_file(), backup_file(), ec);
    ASSERT_FALSE(ec);
    fs.WriteReg("0000:03:00.0", BAUD_REG, 0x00050000);  // the board passes now
    std::filesystem::remove_all("/var/log/qvFwTool", ec);
    r = fs.Run({"--silent"});
    EXPECT_EQ(r.err, skip_line("0000:03:00.0") + "Failed to move " + dir + "brenvoda.ko.bk back to brenvoda.ko. \n");
    EXPECT_EQ(fs.Calls("mv").back(), backup_file() + " " + module_file());
    EXPECT_EQ(log_text().find("Success to restore file"), std::string::npos);
    EXPECT_EQ(FakeSystem::ReadFile(backup_file()), "module");
}

// The state an earlier take-out leaves: package 1.2.3 recorded, its source in
// /usr/src, the module file aside.
static void leave_driver_taken_out()
{
    FakeSystem::WriteFile(STATE_FILE, "nudra/1.2.3\n");
    FakeSystem::WriteFile(backup_file(), "module");
    FakeSystem::MakeDirs("/usr/src/nudra-1.2.3");
}

// Runs that end before the board loop, or have no board of products 8 and 11,
// leave the state file and the backup module file alone.
static void expect_no_put_back(const PciFunction& board, bool broken_crc, uint32_t code)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(board);
    leave_driver_taken_out();
    fs.WriteWorkFile("zk_firmware.hex", headered(code, 0, version_word(1, 4, 1), pattern(64), broken_crc).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    EXPECT_TRUE(FakeSystem::Exists(backup_file()));
    EXPECT_FALSE(FakeSystem::Exists(module_file()));
    EXPECT_EQ(fs.ReadMem(board.bdf, 0x800, 16), std::string(16, '\0'));
}

TEST(EngineDriver, NoPutBackAfterACrcMismatch)
{
    expect_no_put_back(r33_16("0000:03:00.0", true), true, 1);
}

TEST(EngineDriver, NoPutBackWithoutABoardOfProducts8And11)
{
    expect_no_put_back(skipped(jq_board("0000:03:00.0", 4, 0, 0)), false, 4);
}

// An image that the firmware object refuses to hand out (a payload longer
// than any board takes) ends the run like a CRC mismatch: no board touched,
// nothing put back.
TEST(EngineDriver, RefusedImageTouchesNoBoardAndPutsNothingBack)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(r33_16("0000:03:00.0", true));
    leave_driver_taken_out();
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(0x40000)).text);
    auto r = fs.Run({"--silent"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("CRC check failed"), std::string::npos) << r.err;
    EXPECT_TRUE(fs.DkmsCalls().empty());
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    EXPECT_TRUE(FakeSystem::Exists(backup_file()));
    EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 16), std::string(16, '\0'));
    EXPECT_EQ(log_text().find("Before upgrading is successful"), std::string::npos);
    EXPECT_TRUE(ends_with(log_text(), "Qvfw-tool is exit ...\n\n"));
}

// The screen left through its Exit line or Escape, or the Upgrade line chosen
// with no board ticked: nothing is put back, so the state file and the backup
// module file stay as they were.
TEST(EngineDriver, NoPutBackWhenTheScreenStartsNoUpgrade)
{
    struct Case {
        const char* what;
        std::vector<std::string> keys;
    };
    const std::vector<Case> cases = {
        {"Exit line", {"Down", "Down", "Enter"}},
        {"Escape", {"Escape"}},
        {"empty selection", {"Space", "Down", "Enter"}},
    };
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.AddPci(r33_16("0000:03:00.0", true));
    leave_driver_taken_out();
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(64)).text);
    for (const Case& c : cases) {
        auto screen = std::make_unique<fakesys::TmuxSession>(fs, FakeSystem::ToolArgv({}), 100, 40,
                                                              std::vector<std::string>{"ASAN_OPTIONS=detect_leaks=0"});
        ASSERT_TRUE(screen->ok());
        ASSERT_TRUE(screen->WaitForText(" Firmware "));
        screen->WaitIdle();
        for (const std::string& key : c.keys)
            screen->SendKeys({key});
        EXPECT_EQ(screen->WaitExit(), 255) << c.what << "\n" << screen->Screen();
        EXPECT_TRUE(fs.DkmsCalls().empty()) << c.what;
        EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n") << c.what;
        EXPECT_EQ(FakeSystem::ReadFile(backup_file()), "module") << c.what;
        EXPECT_FALSE(FakeSystem::Exists(module_file())) << c.what;
        EXPECT_EQ(fs.ReadMem("0000:03:00.0", 0x800, 16), std::string(16, '\0')) << c.what;
    }
}

// The system's own dkms: a failed verification removes the installed package
// from the DKMS tree and records its version; a later run adds, builds and
// installs it again, deletes the record and moves the module file back.
TEST(EngineDriverRealDkms, TakesOutAndPutsBack)
{
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.DropStandIn("dkms");
    add_package_source();
    for (const char* step : {"add", "build", "install"})
        ASSERT_EQ(fs.RunProgram({"dkms", step, "nudra/1.2.3"}, dkms_run()).status, 0) << step;
    ASSERT_TRUE(installed(package_status(fs))) << package_status(fs);
    FakeSystem::WriteFile(module_file(), "module");
    fs.AddPci(skipped(r33_16("0000:03:00.0", false)));
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(64)).text);

    auto r = fs.Run({"--silent"}, dkms_run());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, REBOOT_REQUEST);
    EXPECT_EQ(package_status(fs), "");
    EXPECT_FALSE(FakeSystem::Exists("/var/lib/dkms/nudra/1.2.3"));
    EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n");
    EXPECT_EQ(FakeSystem::ReadFile(backup_file()), "module");

    fs.WriteReg("0000:03:00.0", BAUD_REG, 0x00050000);  // the board passes after the reboot
    r = fs.Run({"--silent"}, dkms_run());
    EXPECT_EQ(r.err, skip_line("0000:03:00.0"));
    EXPECT_TRUE(installed(package_status(fs))) << package_status(fs);
    EXPECT_TRUE(FakeSystem::Exists("/lib/modules/" + FakeSystem::KernelRelease() + "/updates/dkms/brenvoda.ko"));
    EXPECT_FALSE(FakeSystem::Exists(STATE_FILE));
    EXPECT_EQ(FakeSystem::ReadFile(module_file()), "module");
    EXPECT_NE(log_text().find(REINSTALLED), std::string::npos);
}

// With the system's own dkms, a put-back that cannot reinstall the package
// (its source gone from /usr/src, or its build failing for want of the
// kernel headers after a kernel update) keeps the record and says so; once
// the cause is gone, a later run reinstalls it.
TEST(EngineDriverRealDkms, RecordStaysUntilThePackageIsReinstalled)
{
    struct Case {
        const char* what;
        bool source;
        bool headers;
    };
    const Case cases[] = {
        {"source missing", false, true},
        {"build failing", true, false},
    };
    FakeSystem fs;
    ASSERT_TRUE(fs.ok());
    fs.DropStandIn("dkms");
    fs.AddPci(skipped(r33_16("0000:03:00.0", true)));
    fs.WriteWorkFile("zk_firmware.hex", headered(1, 0, version_word(1, 4, 1), pattern(64)).text);
    const std::string kernel = "/lib/modules/" + FakeSystem::KernelRelease();
    for (const Case& c : cases) {
        std::error_code ec;
        for (const std::string& dir : {std::string("/usr/src"), std::string("/var/lib/dkms"), kernel})
            for (const std::string& old : FakeSystem::ListDir(dir))
                std::filesystem::remove_all(dir + "/" + old, ec);
        std::filesystem::remove_all("/var/log/qvFwTool", ec);  // a fresh log per case
        if (c.source)
            add_package_source(c.headers);
        else
            FakeSystem::MakeDirs(kernel + "/build/include");
        FakeSystem::WriteFile(STATE_FILE, "nudra/1.2.3\n");

        auto r = fs.Run({"--silent"}, dkms_run());
        EXPECT_EQ(r.err, skip_line("0000:03:00.0") + not_reinstalled("1.2.3")) << c.what;
        EXPECT_FALSE(installed(package_status(fs))) << c.what << ": " << package_status(fs);
        EXPECT_EQ(FakeSystem::ReadFile(STATE_FILE), "nudra/1.2.3\n") << c.what;
        std::string log = log_text();
        EXPECT_NE(log.find("[    FATAL]  " + not_reinstalled("1.2.3")), std::string::npos) << c.what;
        EXPECT_EQ(log.find(REINSTALLED), std::string::npos) << c.what;

        add_package_source();
        r = fs.Run({"--silent"}, dkms_run());
        EXPECT_EQ(r.err, skip_line("0000:03:00.0")) << c.what;
        EXPECT_TRUE(installed(package_status(fs))) << c.what << ": " << package_status(fs);
        EXPECT_FALSE(FakeSystem::Exists(STATE_FILE)) << c.what;
    }
}
