// The upgrade engine: board inventory, firmware binding and menu lines, the
// driver and DKMS safeguards, and the upgrade run over the chosen boards.
#include "upgrader.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "catalogue.h"
#include "device.h"
#include "device_regs.h"
#include "firmware.h"
#include "firmware_scpu_share_misc_crc16.h"
#include "logger.h"
#include "ui.h"
#include "upgrader_internal.h"
#include "utils.h"

namespace {

const char* const PCI_DEVICES_DIR = "/sys/bus/pci/devices/";
const size_t PCI_DEVICES_DIR_LEN = 21;
const uint32_t BRENVODA_VENDOR = 0x7e51;
const int JQ_BOARD_REG_OFFSET = 0x78C0;
const char* const DKMS_STATE_FILE = "/var/log/dkms.log";
const size_t DOMAIN_LEN = 5;  // "DDDD:"

// Width of the name, single address, pair address and version columns of a menu line.
const size_t NAME_WIDTH = 12;
const size_t SINGLE_ADDR_WIDTH = 12;
const size_t PAIR_ADDR_WIDTH = 22;
const size_t VERSION_WIDTH = 13;
// The address column starts after "| ", the name and " | ".
const size_t ADDR_COLUMN = 2 + NAME_WIDTH + 3;

std::string fit(const std::string& text, size_t width)
{
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

std::string without_domain(const std::string& bdf)
{
    return bdf.size() > DOMAIN_LEN ? bdf.substr(DOMAIN_LEN) : std::string();
}

std::string trim_right(std::string text)
{
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string kernel_release()
{
    struct utsname names;
    if (uname(&names) != 0)
        return std::string();
    return names.release;
}

std::string module_dir(const std::string& release)
{
    return "/lib/modules/" + release + "/kernel/drivers/misc/";
}

// Runs a command through the shell and waits for it; its status is not looked at.
void run_shell(const std::string& command)
{
    int status = system(command.c_str());
    (void)status;
}

// Runs a command through the shell and waits for it; true when it ended with status 0.
bool run_shell_ok(const std::string& command)
{
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The directory entry itself (a link is not followed): its device and inode.
bool entry_identity(const std::string& path, dev_t& device, ino_t& inode)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return false;
    device = st.st_dev;
    inode = st.st_ino;
    return true;
}

// Runs the mv command line and tells whether the entry that was at from is
// now at to and no longer at from. What mv prints or returns is not trusted.
bool move_entry(const std::string& command, const std::string& from, const std::string& to)
{
    dev_t device = 0, moved_device = 0;
    ino_t inode = 0, moved_inode = 0;
    bool known = entry_identity(from, device, inode);
    std::string output;
    cmd_result(command, output);
    struct stat st;
    return known && lstat(from.c_str(), &st) != 0 && entry_identity(to, moved_device, moved_inode) &&
           moved_device == device && moved_inode == inode;
}

// The most a record may hold: it is one short line, and anything longer is
// no record of this tool's.
const size_t STATE_FILE_LIMIT = 4096;

// Opens the state file without following a link; refuses anything but a
// regular file with a single name, so that a link or other entry placed at
// the path never takes the root run's write or read elsewhere. why names the
// reason of a refusal.
int open_state_file(int flags, const char*& why)
{
    why = "it is not a regular file of its own or cannot be read";
    int fd = open(DKMS_STATE_FILE, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        close(fd);
        return -1;
    }
    // A record that another user owns or may write can hold what they put
    // there; clearing a write bit now cannot undo what was written before.
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "it is not owned by root or others may write it";
        close(fd);
        return -1;
    }
    return fd;
}

// Reads what fd is open on, from its current offset, never more than a
// record holds; false, with the reason in why, when it cannot be read or is
// longer than a record.
bool read_record(int fd, std::string& text, const char*& why)
{
    // One byte past the limit tells a record from a longer file.
    char piece[STATE_FILE_LIMIT + 1];
    size_t got = 0;
    while (got < sizeof(piece)) {
        ssize_t n = read(fd, piece + got, sizeof(piece) - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got > STATE_FILE_LIMIT) {
        why = "it is longer than 4096 bytes";
        return false;
    }
    text.assign(piece, got);
    return true;
}

// Replaces the state file's content with text; false when it could not be
// written whole. A record made here is root's, mode 0644 whatever the umask.
// A file already at the path is written only when the put-back would trust
// it, which is checked on the open descriptor before anything is truncated:
// any other file there keeps its content.
bool write_state_file(const std::string& text)
{
    const char* why = nullptr;
    int fd = open(DKMS_STATE_FILE, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    if (ok) {
        ok = fchmod(fd, 0644) == 0;
    } else if (errno == EEXIST) {
        fd = open_state_file(O_RDWR, why);
        std::string found;
        ok = fd >= 0 && read_record(fd, found, why) && lseek(fd, 0, SEEK_SET) == 0;
    }
    if (fd < 0)
        return false;
    // Nothing is truncated or written unless every check above passed.
    ok = ok && ftruncate(fd, 0) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (close(fd) != 0)
        ok = false;
    return ok;
}

// The state file's content, read the same way (never through a link, never
// waiting on a FIFO, only from a file it can trust) and never more than a
// record holds; false, with the reason in why, when the entry is no such
// file, cannot be read, or is longer than a record.
bool read_state_file(std::string& text, const char*& why)
{
    int fd = open_state_file(O_RDONLY, why);
    if (fd < 0)
        return false;
    bool ok = read_record(fd, text, why);
    close(fd);
    return ok;
}

// The package version that a record names: the characters after its first
// "nudra/" up to the next white space or the end; empty when there is none.
std::string recorded_version(const std::string& record)
{
    const std::string tag = "nudra/";
    size_t start = record.find(tag);
    if (start == std::string::npos)
        return std::string();
    start += tag.size();
    size_t end = record.find_first_of(" \t\n\v\f\r", start);
    return record.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The run's firmware object outlives the engine: it is never deleted and
// stays reachable here until the process ends.
Firmware* run_firmware = nullptr;

// The products whose boards must pass the verification-register check.
bool is_verified_product(product_t product) { return product == JQ_R33_16 || product == JQ_R610_32; }

} // namespace

Board::Board() {}
Board::~Board() {}

Upgrader::Upgrader(bool accept_other_products) : accept_other_products(accept_other_products) {}

Upgrader::~Upgrader()
{
    for (auto& entry : devices) {
        delete entry.first;
        delete entry.second;
    }
}

// ---------------------------------------------------------------------------
// Board inventory

namespace {

// True for a PCI address of the form DDDD:BB:DD.F in hex digits, the only form
// the kernel gives the entries of /sys/bus/pci/devices/. The name goes into
// shell commands later, so anything else is not taken as a board.
bool is_pci_address(const std::string& name)
{
    static const char form[] = "xxxx:xx:xx.x";
    if (name.size() != sizeof(form) - 1)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (form[i] == 'x' ? !isxdigit(c) : c != static_cast<unsigned char>(form[i]))
            return false;
    }
    return true;
}

} // namespace

std::vector<std::string> get_devices()
{
    std::vector<std::string> paths;
    DIR* dir = opendir(PCI_DEVICES_DIR);
    if (dir == nullptr)
        return paths;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (!is_pci_address(name))
            continue;
        std::string path = PCI_DEVICES_DIR + name;
        FILE* vendor_file = fopen((path + "/vendor").c_str(), "r");
        if (vendor_file == nullptr)
            continue;
        char text[7] = {};
        size_t got = fread(text, 1, 6, vendor_file);
        fclose(vendor_file);
        text[got] = '\0';
        unsigned int vendor = 0;
        if (sscanf(text, "%x", &vendor) != 1)
            continue;
        if (vendor == BRENVODA_VENDOR)
            paths.push_back(path);
    }
    closedir(dir);
    return paths;
}

void get_devices_info(std::vector<std::string>& paths, std::map<Board*, QVDevice*>& devices)
{
    for (const std::string& path : paths) {
        Board* board = new Board();
        board->bdf = path.size() > PCI_DEVICES_DIR_LEN ? path.substr(PCI_DEVICES_DIR_LEN) : std::string();
        QVDevice* device = new QVDevice(board->bdf);
        int id = device->DetectGPU();

        if (id != 0 && is_zk_chip(id)) {
            board->version = device->GetFirmwareVersion();
            board->product = device->GetZK_R610Info() ? ZK_R610_CD : ZK_R610;
        } else if (id != 0 && is_jq_chip(id)) {
            SocketInfo info = device->GetSocketInfo();
            board->version = device->GetFirmwareVersion();
            if (info.customer_id == 0xfffffffeu) {
                board->product = ZK_R640_C;
            } else {
                // A code that names no product for this variant leaves the board's initial product.
                std::optional<product_t> product = product_id_map(info.product_id, info.board_variant);
                if (product)
                    board->product = *product;
            }
        } else if (id != 0 && is_wz_chip(id)) {
            board->version = device->GetFirmwareVersion();
            board->product = WZ_R820;
        } else {
            delete board;
            delete device;
            continue;
        }
        // Identity registers that could not be read (the register window cannot
        // be mapped) make the chip as unusable as a function without an ID: its
        // zeros would name a product and fail its checks on every run.
        if (device->FailedAccesses() != 0) {
            delete board;
            delete device;
            continue;
        }
        devices[board] = device;
    }
}

std::vector<Board*> Upgrader::ListBoard()
{
    std::vector<std::string> paths = get_devices();
    if (paths.empty())
        return std::vector<Board*>();
    get_devices_info(paths, devices);
    for (auto& entry : devices)
        boards.push_back(entry.first);
    return boards;
}

// ---------------------------------------------------------------------------
// Firmware binding, menu lines and selection

bool Upgrader::SetFirmware(std::string path)
{
    firmware = new Firmware(path);
    run_firmware = firmware;
    if (!firmware->Init())
        return false;

    product_t p = firmware->MatchProduct();
    if (p == UNKNOWN) {
        qvlogger::logger(LOG_FATAL, "Invalid firmware\n");
        return false;
    }

    // Only the ZK-R610 family carries a signature; an unsigned image is taken as it is.
    if (p == ZK_R610 || p == ZK_R610_CD) {
        // An image whose buffers could not be had is refused; the firmware object logged why.
        if (!firmware->SignaInit())
            return false;
        if (firmware->IsSigned() && !firmware->SignaVerify())
            return false;
    }

    product_name = product_table[p];
    if (product_name == "ZK-R610" || product_name == "ZK-R610-CD")
        version_label.clear();
    else
        version_label = "V" + firmware->GetJQ_Version();

    for (Board* board : boards) {
        if (board->product == p) {
            targets.push_back(board);
        } else if (accept_other_products && board->product != ZK_R610 && board->product != ZK_R610_CD) {
            board->product = p;
            targets.push_back(board);
        }
    }
    if (targets.empty()) {
        qvlogger::logger(LOG_FATAL, "No '%s' GPU found.\n", product_table[p]);
        return false;
    }

    items = getAllItemString(targets, product_name);
    selected_items = items;
    return true;
}

std::vector<std::string> Upgrader::getAllItemString(std::vector<Board*> boards, std::string name)
{
    // Each chip's two-chip test, once and in order. A chip whose test could
    // not be made is neither a single chip nor one of a pair: it is passed
    // over for the run, and no line names it, neither its own nor a pair line
    // of its partner's.
    std::vector<std::pair<Board*, bool>> tested;  // the chips left, and whether each is one of two
    for (Board* b : boards) {
        bool dual = false;
        if (!two_chip_test(b->bdf, dual)) {
            qvlogger::logger(LOG_FATAL,
                             "[%s] Could not tell whether the chip is one of a two-chip board, skip upgrade.\n",
                             b->bdf.c_str());
            pass_over(b);
            continue;
        }
        tested.emplace_back(b, dual);
    }

    std::vector<std::string> lines;
    const std::string name_column = fit(name, NAME_WIDTH);
    std::string paired;  // bdf of both chips of every pair line made so far

    for (const auto& entry : tested) {
        Board* b = entry.first;
        chip_state = !entry.second;
        if (chip_state) {
            lines.push_back("| " + name_column + " | " + fit(b->bdf, SINGLE_ADDR_WIDTH) + " | " +
                            fit(b->version, VERSION_WIDTH) + " |");
            continue;
        }
        if (paired.find(b->bdf) != std::string::npos)
            continue;
        for (const auto& other : tested) {
            Board* c = other.first;
            if (c->bdf == b->bdf || !chip_same_borad(b->bdf, c->bdf))
                continue;
            paired += b->bdf + c->bdf;
            lines.push_back("| " + name_column + " | " +
                            fit(b->bdf + " / " + without_domain(c->bdf), PAIR_ADDR_WIDTH) + " | " +
                            fit(b->version, VERSION_WIDTH) + " |");
            break;
        }
    }
    return lines;
}

bool two_chip_test(const std::string& bdf, bool& dual)
{
    dual = false;
    std::string dir = PCI_DEVICES_DIR + bdf;
    char output[1024] = {};
    int exit_code = -1;
    // A device file that cat cannot print is no device ID: its zero would
    // send the chip on to the board register as if it were known.
    if (!cmd_result_status(("cat " + dir + "/device").c_str(), output, sizeof(output), exit_code) ||
        exit_code != 0)
        return false;
    char* end = nullptr;
    unsigned long id = strtoul(output, &end, 16);
    if (end == output)
        return false;
    if (id == 0x0007 || id == 0x000B || id == 0x000F) {
        dual = true;
        return true;
    }

    int fd = open((dir + "/resource2").c_str(), O_RDONLY);
    if (fd < 0) {
        printf("Failed to open register for %s.\n", bdf.c_str());
        return false;
    }
    struct stat info;
    void* map = MAP_FAILED;
    size_t length = 0;
    if (fstat(fd, &info) == 0) {
        length = static_cast<size_t>(info.st_size);
        if (length >= JQ_BOARD_REG_OFFSET + sizeof(uint32_t))
            map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        else
            errno = EINVAL;  // too small to hold the board register
    }
    close(fd);
    if (map == MAP_FAILED) {
        printf("Failed to map device register. %s \n", strerror(errno));
        return false;
    }
    uint32_t word = 0;
    memcpy(&word, static_cast<const unsigned char*>(map) + JQ_BOARD_REG_OFFSET, sizeof(word));
    munmap(map, length);

    uint32_t code = (word >> 25) & 0x1f;
    switch (code) {
    case 3: case 19: case 10: case 26: case 9: case 8: case 16:
        dual = true;
        break;
    default:
        break;
    }
    return true;
}

bool Upgrader::ifDualClipboard(const std::string& bdf)
{
    bool dual = false;
    return two_chip_test(bdf, dual) && dual;
}

std::string getDeviceSwitchPath(std::string bdf)
{
    char real[4096];
    if (realpath((PCI_DEVICES_DIR + bdf).c_str(), real) == nullptr)
        return std::string();
    std::string path = real;
    for (int i = 0; i < 4; ++i) {
        std::vector<char> copy(path.begin(), path.end());
        copy.push_back('\0');
        path = dirname(copy.data());
    }
    return path;
}

bool chip_same_borad(std::string a, std::string b)
{
    std::string switch_a = getDeviceSwitchPath(a);
    if (switch_a.empty())
        return false;
    return switch_a == getDeviceSwitchPath(b);
}

std::vector<Board*> prase_ui_string(std::vector<Board*> boards, std::vector<std::string> lines)
{
    std::vector<Board*> chosen;
    for (Board* board : boards) {
        for (const std::string& line : lines) {
            if (line.size() < ADDR_COLUMN + SINGLE_ADDR_WIDTH)
                continue;
            // The first chip's full address, then for a pair line the partner's
            // address, which shares the first chip's domain.
            std::string first = trim_right(line.substr(ADDR_COLUMN, SINGLE_ADDR_WIDTH));
            std::string partner;
            if (line.compare(ADDR_COLUMN + SINGLE_ADDR_WIDTH, 3, " / ") == 0) {
                std::string rest = line.substr(ADDR_COLUMN + SINGLE_ADDR_WIDTH + 3,
                                               PAIR_ADDR_WIDTH - SINGLE_ADDR_WIDTH - 3);
                partner = first.substr(0, DOMAIN_LEN) + trim_right(rest);
            }
            if (board->bdf == first || (!partner.empty() && board->bdf == partner))
                chosen.push_back(board);
        }
    }
    return chosen;
}

void Upgrader::select_devs(bool add, std::string line)
{
    if (add) {
        selected_items.push_back(line);
        return;
    }
    for (auto it = selected_items.begin(); it != selected_items.end();) {
        if (*it == line)
            it = selected_items.erase(it);
        else
            ++it;
    }
}

bool fw_version_check(const std::string& version)
{
    std::vector<unsigned long> numbers;
    bool in_number = false;
    for (char c : version) {
        if (c >= '0' && c <= '9') {
            if (!in_number)
                numbers.push_back(0);
            numbers.back() = numbers.back() * 10 + static_cast<unsigned long>(c - '0');
            in_number = true;
        } else {
            in_number = false;
        }
    }
    const std::vector<unsigned long> limit = {1, 0, 9};
    return !(numbers > limit);
}

// ---------------------------------------------------------------------------
// Driver and DKMS safeguards

bool get_driver(bool& loaded)
{
    loaded = false;
    FILE* modules = fopen("/proc/modules", "r");
    if (modules == nullptr) {
        qvlogger::logger(LOG_FATAL, "Failed to open '%s', cannot tell whether the GPU driver is loaded.\n",
                         "/proc/modules");
        return false;
    }
    char piece[256];
    while (!loaded && fgets(piece, sizeof(piece), modules) != nullptr) {
        // The name is the piece's first field; only blanks and tabs end it.
        char* save = nullptr;
        const char* name = strtok_r(piece, " \t", &save);
        if (name != nullptr && (strcmp(name, "brenvoda") == 0 || strcmp(name, "zk_driver") == 0))
            loaded = true;
    }
    // A list cut short by a read error may have hidden the driver.
    bool read_whole = loaded || !ferror(modules);
    fclose(modules);
    if (!read_whole) {
        qvlogger::logger(LOG_FATAL, "Failed to read '%s', cannot tell whether the GPU driver is loaded.\n",
                         "/proc/modules");
        return false;
    }
    return true;
}

bool is_plain_version(const std::string& version)
{
    if (version.empty())
        return false;
    for (char c : version) {
        if (!((c >= '0' && c <= '9') || c == '.'))
            return false;
    }
    return true;
}

bool Upgrader::unloadDriver()
{
    qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", "unloadDriver", 570);
    qvlogger::logger(LOG_INFO,
                     "Before upgrading the firmware, uninstall the driver and automatically unload the "
                     "driver when booting. \n");
    // A module list that cannot be read is no proof that the driver is out.
    bool driver_loaded = false;
    if (!get_driver(driver_loaded))
        return false;
    if (driver_loaded) {
        qvlogger::logger(LOG_FATAL, "Please unload Brenvoda GPU driver firstly.\n");
        return false;
    }

    bool board_passed_over = false;
    for (Board* board : boards) {
        if (!is_verified_product(board->product))
            continue;
        qvlogger::logger(LOG_INFO, "BDF[ %s ]:  ", board->bdf.c_str());
        QVDevice* device = devices[board];
        const unsigned long failed_before = device->FailedAccesses();
        bool verified = device->ReadVerifResultOfBaud();
        // A register that could not be read tells nothing about the board: it
        // neither passes nor fails, and is not upgraded in this run.
        if (device->FailedAccesses() != failed_before) {
            qvlogger::logger(LOG_FATAL, "[%s] The verification result could not be read, skip upgrade.\n",
                             board->bdf.c_str());
            pass_over(board);
            board_passed_over = true;
            continue;
        }
        if (!verified) {
            driver_flag = true;
            break;
        }
    }

    if (driver_flag) {
        dkms_remove_nudra();
        remove_brenvoda_ko_file();
        qvlogger::logger(LOG_FATAL, "IMPORTANT:\n    Please reboot system before upgrading firmware !!!\n\n");
        return false;
    }
    if (board_passed_over) {
        // The menu offers only what is left; a pair whose other chip was
        // passed over has no line of its own.
        items = getAllItemString(targets, product_name);
        selected_items = items;
    }
    // Boards passed over here or by their two-chip test may leave nothing.
    if (boards_passed_over && items.empty()) {
        qvlogger::logger(LOG_FATAL, "No '%s' GPU is left to upgrade.\n", product_name.c_str());
        return false;
    }
    return true;
}

void Upgrader::pass_over(Board* board)
{
    boards_passed_over = true;
    for (auto it = targets.begin(); it != targets.end();) {
        if (*it == board)
            it = targets.erase(it);
        else
            ++it;
    }
}

void Upgrader::reloadDriver()
{
    qvlogger::logger(LOG_INFO,
                     "Before upgrading is successful, reinstall the driver and automatically load the "
                     "driver when booting. \n");
    for (Board* board : boards) {
        if (is_verified_product(board->product)) {
            driver_flag = true;
            break;
        }
    }
    if (driver_flag) {
        dkms_install_nudra();
        restore_brenvoda_ko_file();
    }
}

void Upgrader::dkms_remove_nudra()
{
    std::string version = dkms_get_nudra_version();
    if (version.empty())
        return;
    // The package is removed only once its version is on disk for the run
    // that puts it back; without that record it would be lost for good.
    std::string record = "nudra/" + version + "\n";
    write_state_file(record);
    std::string written;
    const char* why = nullptr;
    if (!read_state_file(written, why) || written != record) {
        qvlogger::logger(LOG_FATAL,
                         "Left the driver package nudra/%s installed: its version could not be recorded in %s. \n",
                         version.c_str(), DKMS_STATE_FILE);
        return;
    }
    run_shell("dkms remove nudra/" + version + " --all > /dev/null 2>&1");
}

void Upgrader::remove_brenvoda_ko_file()
{
    std::string release = kernel_release();
    std::string module = module_dir(release) + "brenvoda.ko";
    std::string backup = module_dir(release) + "brenvoda.ko.bk";
    if (!is_file_exist(module))
        return;
    if (move_entry("mv " + module + "  /lib/modules/" + release + "/kernel/drivers/misc/brenvoda.ko.bk", module,
                   backup)) {
        qvlogger::logger(LOG_INFO,
                         "Success to remove file of brenvoda.ko (/lib/modules/%s/kernel/drivers/misc/brenvoda.ko). \n\n",
                         release.c_str());
    } else {
        qvlogger::logger(LOG_FATAL,
                         "Failed to move /lib/modules/%s/kernel/drivers/misc/brenvoda.ko to brenvoda.ko.bk. \n",
                         release.c_str());
    }
}

void Upgrader::dkms_install_nudra()
{
    // Any entry at the path counts, a link too: only a missing one means
    // that nothing was taken out.
    struct stat entry;
    if (lstat(DKMS_STATE_FILE, &entry) != 0 && errno == ENOENT)
        return;
    qvlogger::logger(LOG_INFO, "Start reinstall nudra from dkms tree. \n");

    // The record is read by the program itself, so that a link, a FIFO or
    // another kind of file at the path is refused instead of followed or
    // waited on; one that cannot be read stays for a later run.
    std::string record;
    const char* why = nullptr;
    if (!read_state_file(record, why)) {
        qvlogger::logger(LOG_FATAL,
                         "Failed to read the driver package record %s: %s, nothing is reinstalled and it is left in "
                         "place. \n",
                         DKMS_STATE_FILE, why);
        driver_not_put_back = true;
        return;
    }
    std::string version = recorded_version(record);
    const std::string remove_state = std::string("rm -f ") + DKMS_STATE_FILE + " > /dev/null 2>&1";
    // A state file that names no version records nothing to put back.
    if (version.empty()) {
        run_shell(remove_state);
        return;
    }

    // The package source is a directory named by six characters (such as
    // "nudra-") and exactly the version; any other entry, a kernel's headers
    // whose name merely holds the version among them, is passed over.
    bool source_found = false;
    std::error_code ec;
    if (std::filesystem::is_directory("/usr/src", ec)) {
        for (std::filesystem::directory_iterator it("/usr/src", ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.size() != 6 + version.size() || name.compare(6, std::string::npos, version) != 0)
                continue;
            std::error_code kind_ec;
            if (!std::filesystem::is_directory(it->path(), kind_ec))
                continue;
            source_found = true;
            break;
        }
    }

    // The version goes into shell commands: only the digits and dots that the
    // removal wrote are run. The record is deleted only once the package is
    // installed again; otherwise it stays for a later run.
    bool reinstalled = false;
    if (is_plain_version(version) && source_found) {
        run_shell("dkms add nudra/" + version + " > /dev/null 2>&1");
        run_shell("dkms build nudra/" + version + " > /dev/null 2>&1");
        reinstalled = run_shell_ok("dkms install nudra/" + version + " > /dev/null 2>&1");
    }
    if (!reinstalled) {
        qvlogger::logger(LOG_FATAL, "Failed to reinstall nudra/%s from dkms tree, %s is kept for a later run. \n",
                         version.c_str(), DKMS_STATE_FILE);
        driver_not_put_back = true;
        return;
    }
    run_shell(remove_state);
    qvlogger::logger(LOG_INFO, "Success to reinstall nudra from dkms tree. \n");
}

void Upgrader::restore_brenvoda_ko_file()
{
    std::string release = kernel_release();
    std::string module = module_dir(release) + "brenvoda.ko";
    std::string backup = module_dir(release) + "brenvoda.ko.bk";
    if (!is_file_exist(backup))
        return;
    if (move_entry("mv " + backup + "  /lib/modules/" + release + "/kernel/drivers/misc/brenvoda.ko", backup,
                   module)) {
        qvlogger::logger(LOG_INFO, "Success to restore file of brenvoda.ko. \n");
    } else {
        qvlogger::logger(LOG_FATAL,
                         "Failed to move /lib/modules/%s/kernel/drivers/misc/brenvoda.ko.bk back to brenvoda.ko. \n",
                         release.c_str());
        driver_not_put_back = true;
    }
}

// ---------------------------------------------------------------------------
// Upgrade run

bool Upgrader::StarUpgrade(bool sram_mode)
{
    // A board passed over by the driver safeguard leaves the run failed.
    bool result = !boards_passed_over;
    std::string new_version;
    product_t p = firmware->GetProduct();
    bool zk_family = (p == ZK_R610 || p == ZK_R610_CD);

    if (selected_items.empty()) {
        qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", "StarUpgrade", 653);
        qvlogger::logger(LOG_FATAL, "No gpu is selected in the interface. \n");
        return false;
    }

    targets = prase_ui_string(targets, selected_items);

    unsigned char* image = nullptr;
    int n = zk_family ? firmware->ReadFW_Data(image) : firmware->ReadData(image);
    // A refused image has been reported by the firmware object; no board is touched.
    if (n < 0 || image == nullptr) {
        free(image);
        return false;
    }
    if (!fw_crc_check(image, static_cast<uint32_t>(n))) {
        qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", "StarUpgrade", 696);
        qvlogger::logger(LOG_FATAL, "\nCRC check failed! \nPlease confirm your firmware file is correct.\n");
        free(image);
        return false;
    }
    // An image of its two CRC bytes alone ("00 00", the CRC of nothing)
    // passes the check above but holds no firmware: no board gets it.
    if (n <= 2) {
        qvlogger::logger(LOG_FATAL, "Error: firmware image is empty, it holds nothing before its CRC.\n");
        free(image);
        return false;
    }
    // The command word carries the length in 18 bits: a longer image cannot go
    // to any board, so it is refused once here rather than once per board.
    if (static_cast<unsigned long>(n) > qvregs::MAX_IMAGE_LENGTH) {
        qvlogger::logger(LOG_FATAL,
                         "Error: firmware image of %lu bytes is longer than the %u bytes the upgrade command can carry.\n",
                         static_cast<unsigned long>(n), qvregs::MAX_IMAGE_LENGTH);
        free(image);
        return false;
    }

    qvlogger::logger(LOG_RECORD, "Start to upgrade firmware... \n\n");
    for (Board* board : targets) {
        QVDevice* device = devices[board];
        // A pass-through check that could not be made (the ring register not
        // read, or the uevent test not answered) is no reason to flash the board.
        const unsigned long failed_before = device->FailedAccesses();
        bool vm_driver_loaded = device->PT_for_VM() && device->RING_ENABLE();
        if (device->FailedAccesses() != failed_before) {
            qvlogger::logger(LOG_FATAL,
                             "[%s] Could not check whether the board is passed through to a virtual machine, skip "
                             "upgrade.\n",
                             board->bdf.c_str());
            result = false;
            continue;
        }
        if (vm_driver_loaded) {
            qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", "StarUpgrade", 669);
            qvlogger::logger(LOG_FATAL,
                             "[%s] passthrough VM and the driver on the VM has been loaded, skip upgrade.\n",
                             board->bdf.c_str());
            result = false;
            continue;
        }
        bool done = device->InitMailbox() &&
                    device->UPGRADE_FW(sram_mode, image, static_cast<unsigned long>(n)) &&
                    device->ResetDevice();
        if (!done) {
            qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", "StarUpgrade", 678);
            qvlogger::logger(LOG_FATAL, "[%s] Failed to upgrade firmware\n", board->bdf.c_str());
            result = false;
            continue;
        }
        if (zk_family) {
            // The board is upgraded: its SCPU's verdict and the end of its
            // reset were read. A version that could not be read after the
            // reset is not printed as one.
            const unsigned long failed_before_version = device->FailedAccesses();
            new_version = device->GetFirmwareVersion();
            if (device->FailedAccesses() != failed_before_version) {
                qvlogger::logger(LOG_FATAL, "[%s] The new firmware version could not be read.\n",
                                 board->bdf.c_str());
                new_version = "unknown";
            }
        } else {
            new_version = firmware->GetJQ_Version();
        }
        qvlogger::logger(LOG_RECORD, "[%s] Successfully upgrade firmware from %s to %s\n", board->bdf.c_str(),
                         board->version.c_str(), new_version.c_str());
    }

    reloadDriver();
    // A driver that could not be put back leaves the machine without it at
    // the next boot: the run has failed, whatever the boards did.
    if (driver_not_put_back)
        result = false;

    if (!zk_family && !new_version.empty()) {
        printf("\nIMPORTANT:\n    Please reboot system and verify whether firmware v%s is successfully installed. \n",
               new_version.c_str());
        printf("    If firmware version number is not changed after reboot, you must power off/on system and "
               "verify again. \n");
        fflush(stdout);
    }

    free(image);
    return result;
}

bool Upgrader::preUpgrade()
{
    curses_interaction(this);
    return true;
}

// ---------------------------------------------------------------------------
// Accessors

void Upgrader::SetUpgraderStatus(bool value) { upgrader_status = value; }
bool Upgrader::GetUpgraderStatus() { return upgrader_status; }
std::string Upgrader::GetProductName() { return product_name; }
bool Upgrader::GetChipState() { return chip_state; }
std::string Upgrader::GetFWVersion() { return version_label; }
