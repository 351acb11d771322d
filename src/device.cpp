// QVDevice: one GPU chip reached through its PCI function's sysfs files.
#include "device.h"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "catalogue.h"
#include "device_regs.h"
#include "hw_access.h"
#include "logger.h"
#include "utils.h"

using namespace qvregs;

namespace {

const char* const PCI_DEVICES_DIR = "/sys/bus/pci/devices/";

void trace(const char* function, int tag)
{
    qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", function, tag);
}

// A log line that ends in "time: ", completed with the local time.
void timed_line(LogLevel level, const char* text)
{
    qvlogger::logger(level, "%s", text);
    qvlogger::GetTimeMs();
}

void run_ignoring_output(const char* format, const std::string& bdf)
{
    char command[256];
    snprintf(command, sizeof(command), format, bdf.c_str());
    char output[100] = {0};
    cmd_result(command, output, sizeof(output));
}

// The little-endian word of up to four bytes; missing high bytes are zero.
uint32_t le_word(const unsigned char* bytes, uint32_t count)
{
    uint32_t word = 0;
    for (uint32_t i = 0; i < count && i < 4; ++i)
        word |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return word;
}

bool image_fits_command_word(unsigned long length)
{
    if (length <= MAX_IMAGE_LENGTH)
        return true;
    qvlogger::logger(LOG_FATAL,
                     "Error: firmware image of %lu bytes is longer than the %u bytes the upgrade command can carry.\n",
                     length, MAX_IMAGE_LENGTH);
    return false;
}

} // namespace

QVDevice::QVDevice(std::string bdf_) : bdf(std::move(bdf_)) {}

QVDevice::~QVDevice()
{
    if (reg_fd != -1)
        close(reg_fd);
    if (mem_fd != -1)
        close(mem_fd);
}

int QVDevice::DetectGPU()
{
    // Memory space and bus master on, then power state D0.
    run_ignoring_output("setpci -s %s COMMAND=0x06", bdf);
    run_ignoring_output("setpci -s %s CAP_PM+4.w=8", bdf);

    std::string dir = PCI_DEVICES_DIR + bdf;
    res0_path = dir + "/resource0";
    res2_path = dir + "/resource2";
    if (!is_file_exist(res0_path) || !is_file_exist(res2_path)) {
        qvlogger::logger(LOG_FATAL, "Error: Device %s not enough address space. \n", bdf.c_str());
        return 0;
    }

    // Close-on-exec: the shell commands that the tool runs later must not
    // inherit writable descriptors of the board's windows.
    reg_fd = open(res2_path.c_str(), O_RDWR | O_CLOEXEC);
    if (reg_fd < 0) {
        qvlogger::logger(LOG_FATAL, "Error: Failed to open %s\n", res2_path.c_str());
        return 0;
    }
    mem_fd = open(res0_path.c_str(), O_RDWR | O_CLOEXEC);
    if (mem_fd < 0) {
        qvlogger::logger(LOG_FATAL, "Error: Failed to open %s\n", res0_path.c_str());
        return 0;
    }

    std::string device_path = dir + "/device";
    int device_fd = open(device_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (device_fd < 0)
        return 0;
    char text[7] = {0};
    ssize_t got = read(device_fd, text, 6);
    close(device_fd);
    unsigned int id = 0;
    if (got > 0 && sscanf(text, "%x", &id) == 1)
        pci_device_id = static_cast<int>(id);

    if (is_zk_chip(pci_device_id) || is_jq_chip(pci_device_id) || is_wz_chip(pci_device_id)) {
        reg_base = SCPU_MAILBOX_BLOCK;
        mem_base = 0;
    }
    return pci_device_id;
}

int QVDevice::GetProduct()
{
    return pci_device_id;
}

bool QVDevice::read_reg(int offset, uint32_t& value)
{
    if (hw_reg_read32(reg_fd, offset, value))
        return true;
    ++failed_accesses;
    qvlogger::logger(LOG_FATAL, "Map device register failed when ReadReg!\n");
    return false;
}

bool QVDevice::write_reg(int offset, uint32_t value)
{
    if (hw_reg_write32(reg_fd, offset, value))
        return true;
    ++failed_accesses;
    qvlogger::logger(LOG_FATAL, "Map device register failed!\n");
    return false;
}

bool QVDevice::write_memory(int offset, uint32_t length, const unsigned char* source)
{
    // The offset only sizes the mapping, which ends at the last byte written
    // when the caller passes the image area's start.
    uint32_t map_length = static_cast<uint32_t>(offset) + length;
    if (hw_mem_write(mem_fd, map_length, IMAGE_OFFSET, source, length))
        return true;
    ++failed_accesses;
    qvlogger::logger(LOG_FATAL, "Map device memory failed!\n");
    return false;
}

uint32_t QVDevice::ReadReg(int offset)
{
    uint32_t value = 0;
    return read_reg(offset, value) ? value : 0;
}

void QVDevice::WriteReg(int offset, uint32_t value)
{
    write_reg(offset, value);
}

void QVDevice::WriteMemory(int offset, uint32_t length, const unsigned char* source)
{
    write_memory(offset, length, source);
}

void QVDevice::ReadMemory(int /*offset*/, uint32_t length, unsigned char* destination)
{
    if (hw_mem_read(mem_fd, MEMORY_READ_MAP_LENGTH, IMAGE_OFFSET, destination, length))
        return;
    ++failed_accesses;
    qvlogger::logger(LOG_FATAL, "Map device memory failed!\n");
}

bool QVDevice::CheckMemory(uint32_t /*length*/, const unsigned char* /*data*/)
{
    return true;
}

bool QVDevice::GetData(unsigned char* destination, uint32_t length)
{
    ReadMemory(IMAGE_OFFSET, length, destination);
    return true;
}

std::string QVDevice::GetFirmwareVersion()
{
    uint32_t reg = FW_VERSION_REG_JQ;
    if (is_zk_chip(pci_device_id))
        reg = FW_VERSION_REG_ZK;
    else if (is_wz_chip(pci_device_id))
        reg = FW_VERSION_REG_WZ;
    uint32_t value = ReadReg(static_cast<int>(reg));
    char text[32];
    snprintf(text, sizeof(text), "%u.%u.%u", value >> 24, (value >> 8) & 0xFFFFu, value & 0xFFu);
    return text;
}

SocketInfo QVDevice::GetSocketInfo()
{
    trace("GetSocketInfo", 674);
    qvlogger::logger(LOG_INFO, "Get socket info(card_info/c_id_info)... \n");
    SocketInfo info{0, 0, 0};
    if (!is_jq_chip(pci_device_id))
        return info;

    uint32_t board = ReadReg(static_cast<int>(JQ_BOARD_REG));
    uint32_t customer = ReadReg(static_cast<int>(JQ_CID_REG));
    info.product_id = (board >> 25) & 0x1Fu;
    info.board_variant = board & 0x7u;
    info.customer_id = customer;
    qvlogger::logger(LOG_INFO, "readReg addr: %s, readReg value is: 0x%lx,product_id: 0x%lx \n", "JQ_BOARD_REG",
                     static_cast<unsigned long>(board), static_cast<unsigned long>(info.product_id));
    qvlogger::logger(LOG_INFO, "readReg addr: %s, readReg value is: 0x%lx,customer_id: 0x%lx  \n", "JQ_CID_REG",
                     static_cast<unsigned long>(customer), static_cast<unsigned long>(info.customer_id));
    return info;
}

bool QVDevice::GetZK_R610Info()
{
    trace("GetZK_R610Info", 698);
    qvlogger::logger(LOG_INFO, "Get ZK_R610 info: \n");
    uint32_t value = ReadReg(static_cast<int>(ZK_R610_COST_DOWN_REG));
    qvlogger::logger(LOG_INFO, "readReg addr: %s, readReg value is: 0x%lx \n", "ZK_R610_COST_DOWN_REG",
                     static_cast<unsigned long>(value));
    return (value & ZK_R610_COST_DOWN_BIT) == 0;
}

bool QVDevice::ReadVerifResultOfBaud()
{
    trace("ReadVerifResultOfBaud", 548);
    uint32_t result = (ReadReg(static_cast<int>(BAUD_REG)) >> 16) & 0xFFu;
    qvlogger::logger(LOG_INFO, "readReg addr: %s, readReg value is: 0x%lx \n", "BAUD_REG",
                     static_cast<unsigned long>(result));
    return result == BAUD_VERIF_PASSED;
}

bool QVDevice::PT_for_VM()
{
    // A check that cannot be made is counted as a failed access and answers
    // false: the uevent file that the tool cannot open itself (cat's failure to
    // read it would pass for "no match"), a command that cannot be started, or
    // one that ends with neither of grep's own answers, "matched" (status 0,
    // with output) and "no match" (status 1, no output).
    std::string uevent = "/sys/bus/pci/devices/" + bdf + "/uevent";
    int fd = open(uevent.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ++failed_accesses;
        return false;
    }
    close(fd);
    char command[256];
    snprintf(command, sizeof(command), "cat /sys/bus/pci/devices/%s/uevent | grep vfio-pci", bdf.c_str());
    char output[100] = {0};
    int exit_code = -1;
    bool started = cmd_result_status(command, output, sizeof(output), exit_code);
    bool matched = started && exit_code == 0 && output[0] != '\0';
    bool no_match = started && exit_code == 1 && output[0] == '\0';
    if (!matched && !no_match)
        ++failed_accesses;
    return matched;
}

bool QVDevice::RING_ENABLE()
{
    uint32_t reg = is_zk_chip(pci_device_id) ? RING_ENABLE_REG_ZK : RING_ENABLE_REG_OTHER;
    return ReadReg(static_cast<int>(reg)) == 1;
}

// ---------------------------------------------------------------------------
// SCPU mailbox and WZ mailbox.

namespace {

// Offset of a mailbox block register for a chip whose block starts at base.
int mailbox_reg(uint32_t base, uint32_t reg)
{
    return static_cast<int>(base + (reg - SCPU_MAILBOX_BLOCK));
}

} // namespace

bool QVDevice::InitMailbox()
{
    if (is_jq_chip(pci_device_id) || is_wz_chip(pci_device_id))
        return true;

    const int srcid = mailbox_reg(reg_base, REGG_SCPU__MAILBOX_SRCID);
    const int probe = mailbox_reg(reg_base, REGG_SCPU__MAILBOX0_1);
    static const uint32_t pairs[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    // A lost access makes the probe's answer meaningless: the search ends.
    for (const auto& pair : pairs) {
        wr_srcid = pair[0];
        if (!write_reg(srcid, wr_srcid) || !write_reg(probe, SRCID_PROBE_VALUE))
            return false;
        rd_srcid = pair[1];
        uint32_t back = 0;
        if (!write_reg(srcid, rd_srcid) || !read_reg(probe, back))
            return false;
        if (back == SRCID_PROBE_VALUE)
            return true;
        if (!write_reg(srcid, wr_srcid) || !write_reg(probe, 0))
            return false;
    }
    fputs("Error: cannot find the proper srcid for mailbox\n", stdout);
    fflush(stdout);
    return false;
}

bool QVDevice::SetMailbox(uint32_t command, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4)
{
    trace("SetMailbox", 422);
    qvlogger::logger(LOG_INFO, "Set mailbox... \n");

    // Every access must happen: a lost argument or command word, or a busy
    // word that could not be read, leaves the command's fate unknown.
    uint32_t ready = 0;
    if (!read_reg(mailbox_reg(reg_base, REGG_SCPU__MAILBOX_READY), ready))
        return false;
    if (ready != MAILBOX_READY_VALUE) {
        qvlogger::logger(LOG_FATAL, "Mailbox not ready, readReg addr: %s, readReg value is: 0x%lx \n",
                         "REGG_SCPU__MAILBOX_READY", static_cast<unsigned long>(ready));
        uint32_t status = 0;
        if (read_reg(mailbox_reg(reg_base, MAILBOX_SET_STATUS_REG), status) && status != 0)
            qvlogger::logger(LOG_FATAL, "QVGPU is offline. \nReadReg addr: %s, readReg value is: 0x%lx \n",
                             "MAILBOX_SET_STATUS_REG", static_cast<unsigned long>(status));
        return false;
    }

    trace("SetMailbox", 435);
    qvlogger::logger(LOG_INFO, "Write mailbox... \n");
    const uint32_t words[][2] = {
        {REGG_SCPU__MAILBOX_SRCID, is_zk_chip(pci_device_id) ? wr_srcid : SRCID_DEFAULT},
        {REGG_SCPU__MAILBOX0_1, a1},
        {REGG_SCPU__MAILBOX0_2, a2},
        {REGG_SCPU__MAILBOX0_3, a3},
        {REGG_SCPU__MAILBOX0_4, a4},
        {REGG_SCPU__MAILBOX_CMD, command},
    };
    for (const auto& word : words)
        if (!write_reg(mailbox_reg(reg_base, word[0]), word[1]))
            return false;

    timed_line(LOG_INFO, "Wait Mailbox becomes ready, starting time: ");
    const int busy = mailbox_reg(reg_base, REGG_SCPU__MAILBOX_BUSY);
    for (int poll = 0; poll < MAILBOX_POLLS; ++poll) {
        hw_sleep_us(MAILBOX_POLL_US);
        uint32_t busy_word = 0;
        if (!read_reg(busy, busy_word))
            return false;
        if (busy_word != MAILBOX_BUSY_VALUE) {
            timed_line(LOG_INFO, "Wait Mailbox becomes ready, end time: ");
            return true;
        }
    }
    qvlogger::logger(LOG_FATAL, "Mailbox: no respond.\n");
    timed_line(LOG_FATAL, "Wait Mailbox becomes ready, end time: ");
    return false;
}

namespace {

const char* jq_result_message(uint32_t result)
{
    switch (result) {
    case 0: return "Error: write failure.\n";
    case 2: return "Error: wrong firmware data length.\n";
    case 3: return "Error: wrong crc.\n";
    case 4: return "Error: null firmware data.\n";
    case 5: return "Error: read/write flash failure.\n";
    default: return "Error: unknown error.\n";
    }
}

} // namespace

bool QVDevice::CheckMailbox()
{
    trace("CheckMailbox", 257);
    qvlogger::logger(LOG_INFO, "Read mailbox to get firmware status \n");
    // A result or status that could not be read is no verdict: false.
    uint32_t result = 0;
    if (!write_reg(mailbox_reg(reg_base, REGG_SCPU__MAILBOX_SRCID), rd_srcid) ||
        !read_reg(mailbox_reg(reg_base, REGG_SCPU__MAILBOX0_1), result))
        return false;
    qvlogger::logger(LOG_INFO, "readReg addr: %s, readReg value is: 0x%lx \n", "REGG_SCPU__MAILBOX0_1",
                     static_cast<unsigned long>(result));
    if (result == MAILBOX_RESULT_OK)
        return true;

    uint32_t status = 0;
    if (!read_reg(mailbox_reg(reg_base, MAILBOX_SET_STATUS_REG), status))
        return false;
    qvlogger::logger(LOG_INFO, "readReg addr: %s, readReg value is: 0x%lx \n", "MAILBOX_SET_STATUS_REG",
                     static_cast<unsigned long>(status));

    if (is_zk_chip(pci_device_id)) {
        const char* text = zk_exception_table.find(status);
        if (text != nullptr)
            qvlogger::logger(LOG_FATAL, "Check mailbox error: %s\n", text);
        else
            qvlogger::logger(LOG_FATAL, "Error: unknown error.\n");
    } else if (is_jq_chip(pci_device_id)) {
        trace("CheckMailbox", 276);
        qvlogger::logger(LOG_FATAL, "%s", jq_result_message(result));
        for (int bit = 0; bit < 32; ++bit) {
            uint32_t key = 1u << bit;
            if ((status & key) == 0)
                continue;
            const char* text = jq_exception_table.find(key);
            if (text != nullptr)
                qvlogger::logger(LOG_FATAL, "Check mailbox error: %s\n", text);
        }
    }
    return false;
}

namespace {

// Prints the listed bits of value; false when any was listed.
bool wz_report_bits(uint32_t value, const StatusTable& table, const char* format)
{
    bool clean = true;
    for (int bit = 0; bit < 32; ++bit) {
        uint32_t key = 1u << bit;
        if ((value & key) == 0)
            continue;
        const char* text = table.find(key);
        if (text != nullptr) {
            printf(format, text);
            clean = false;
        }
    }
    fflush(stdout);
    return clean;
}

} // namespace

// Polls the WZ busy word (after a 100 ms sleep each) until it reads other
// than busy; false when it is still busy at the last poll or a poll is lost.
bool QVDevice::wz_wait_idle()
{
    for (int poll = 0; poll < MAILBOX_POLLS; ++poll) {
        hw_sleep_us(MAILBOX_POLL_US);
        uint32_t busy = 0;
        if (!read_reg(static_cast<int>(WZ_MAILBOX_BUSY), busy))
            return false;
        if (busy != MAILBOX_BUSY_VALUE)
            return true;
    }
    fputs("Mailbox: no respond.\n", stdout);
    fflush(stdout);
    return false;
}

bool QVDevice::WZSetMailbox(uint32_t command, uint32_t argument, uint32_t /*unused1*/, uint32_t /*unused2*/,
                            uint32_t /*unused3*/)
{
    // The first three values are not used, but a window that cannot be read
    // ends the command like any other lost access.
    uint32_t unused = 0;
    if (!read_reg(static_cast<int>(WZ_MAILBOX_BUSY), unused) || !read_reg(static_cast<int>(Mailbox0_7), unused) ||
        !read_reg(static_cast<int>(FW_SCRATCH4_REG), unused))
        return false;

    if (!wz_wait_idle())
        return false;

    static const uint32_t cleared[] = {Mailbox0_7,       WZ_MAILBOX_WORD6, WZ_MAILBOX_WORD5,
                                       WZ_MAILBOX_WORD4, WZ_MAILBOX_WORD3, WZ_MAILBOX_WORD2};
    for (uint32_t reg : cleared)
        if (!write_reg(static_cast<int>(reg), 0))
            return false;
    if (!write_reg(static_cast<int>(WZ_MAILBOX_ARG), argument) ||
        !write_reg(static_cast<int>(WZ_MAILBOX_CMD), command))
        return false;

    return wz_wait_idle();
}

bool QVDevice::WZCheckMailbox()
{
    uint32_t busy = 0;
    uint32_t errors = 0;
    uint32_t scratch = 0;
    if (!read_reg(static_cast<int>(WZ_MAILBOX_BUSY), busy) || !read_reg(static_cast<int>(Mailbox0_7), errors) ||
        !read_reg(static_cast<int>(FW_SCRATCH4_REG), scratch))
        return false;
    if (busy == 0 && errors == 0 && scratch == 0)
        return true;

    bool ok = wz_report_bits(errors, wzMailbox0_7ErrorTable, "Mailbox0_7 error: %s\n");
    ok = wz_report_bits(scratch, wzFirmwareScratch4ErrorTable, "FW scratch4 error: %s\n") && ok;
    return ok;
}

// ---------------------------------------------------------------------------
// Firmware transfer and reset.

bool QVDevice::UPGRADE_FW(bool sram_mode, unsigned char* data, unsigned long length)
{
    return sram_mode ? UPGRADE_BY_SCPU_SRAM(data, length) : UPGRADE_BY_SCPU_HBM(data, length);
}

bool QVDevice::UPGRADE_BY_SCPU_SRAM(unsigned char* data, unsigned long length)
{
    if (!image_fits_command_word(length))
        return false;

    const bool zk = GetProduct() == ZK_CHIP_ID;
    // The SCPU gives its verdict on the whole image in the result word of the
    // last command; the WZ chip's SRAM path has no such verdict to read.
    const bool verdict = !is_wz_chip(pci_device_id);
    const uint32_t load_addr = zk ? SRAM_LOAD_ADDR_ZK : SRAM_LOAD_ADDR_OTHER;
    const uint32_t chunk = zk ? SRAM_CHUNK_ZK : SRAM_CHUNK_OTHER;
    const uint32_t word = mailbox_command_word(length, zk ? OPCODE_SRAM_ZK : OPCODE_SRAM_OTHER);
    const uint32_t total = static_cast<uint32_t>(length);

    const uint32_t whole = total / chunk;
    const uint32_t rest = total % chunk;
    // Without a command there is no verdict: nothing was taken.
    if (verdict && whole == 0 && rest == 0)
        return false;
    // A lost address or data word would leave a hole in the SCPU's copy: the
    // transfer ends before that chunk's command.
    for (uint32_t c = 0; c < whole; ++c) {
        if (!write_reg(static_cast<int>(SCPU_SRAM_ADDR_REG), load_addr))
            return false;
        const unsigned char* bytes = data + static_cast<size_t>(c) * chunk;
        for (uint32_t i = 0; i < chunk; i += 4)
            if (!write_reg(static_cast<int>(SCPU_SRAM_DATA_REG), le_word(bytes + i, 4)))
                return false;
        if (!SetMailbox(word, 0, 0, 0, 0))
            return false;
    }

    if (rest == 0)
        return !verdict || CheckMailbox();
    if (!write_reg(static_cast<int>(SCPU_SRAM_ADDR_REG), load_addr))
        return false;
    const unsigned char* bytes = data + static_cast<size_t>(whole) * chunk;
    // The last word takes only the bytes that remain; nothing past the image is read.
    for (uint32_t i = 0; i < rest; i += 4)
        if (!write_reg(static_cast<int>(SCPU_SRAM_DATA_REG), le_word(bytes + i, rest - i)))
            return false;
    if (!SetMailbox(word, 0, 0, 0, 0))
        return false;
    return !verdict || CheckMailbox();
}

bool QVDevice::UPGRADE_BY_SCPU_HBM(unsigned char* data, unsigned long length)
{
    if (!image_fits_command_word(length))
        return false;
    const uint32_t size = static_cast<uint32_t>(length);

    if (is_wz_chip(pci_device_id)) {
        return PutData(data, size) && CheckMemory(size, data) &&
               WZSetMailbox(WZ_CMD_UPGRADE_FROM_MEMORY, size, 0, 0, 0) && WZCheckMailbox();
    }
    return PutData(data, size) && CheckMemory(size, data) && PutData(data, size) && CheckMemory(size, data) &&
           SetMailbox(mailbox_command_word(length, OPCODE_MEMORY), 0, 0, 0, 0) && CheckMailbox();
}

bool QVDevice::PutData(const unsigned char* data, uint32_t length)
{
    if (is_zk_chip(pci_device_id)) {
        trace("PutData", 529);
        qvlogger::logger(LOG_INFO, "Enable memory write-through: \n");
        uint32_t control = 0;
        if (!read_reg(static_cast<int>(MEM_WRITE_THROUGH_REG), control) ||
            !write_reg(static_cast<int>(MEM_WRITE_THROUGH_REG),
                       (control & MEM_WRITE_THROUGH_MASK) | MEM_WRITE_THROUGH_ON))
            return false;
    }
    // A copy that did not happen (the window cannot be mapped or cannot hold
    // the image) must not be followed by the command to take the image.
    return write_memory(static_cast<int>(mem_base + IMAGE_OFFSET), length, data);
}

bool QVDevice::ResetDevice()
{
    const bool zk = is_zk_chip(pci_device_id);
    if (is_jq_chip(pci_device_id) || is_wz_chip(pci_device_id))
        return true;
    // The reset runs its whole course, but it counts as done only when none
    // of its accesses was lost.
    const unsigned long failed_before = failed_accesses;
    if (zk)
        ZKWarmReset();

    trace("ResetDevice", 498);
    timed_line(LOG_INFO, "Wait until mc trainning done, starting time: ");
    bool trained = false;
    for (uint8_t poll = 0; poll < TRAINING_POLLS; ++poll) {
        hw_sleep_us(TRAINING_POLL_US);
        if (ReadReg(mailbox_reg(reg_base, REGG_SCPU__MAILBOX_READY)) == MAILBOX_READY_VALUE) {
            trained = true;
            break;
        }
    }
    timed_line(LOG_INFO, "Wait until mc trainning done, end time: ");
    uint32_t status = ReadReg(mailbox_reg(reg_base, MAILBOX_SET_STATUS_REG));

    if (failed_accesses != failed_before)
        return false;
    if (trained) {
        qvlogger::logger(LOG_INFO, "ZK610 warm reset is success...");
        return true;
    }
    if (zk) {
        if (status != 0)
            qvlogger::logger(LOG_FATAL, "Wrong firmware, please check!\n");
    } else if ((status & 1u) != 0) {
        qvlogger::logger(LOG_FATAL, "Device is offline, please reboot system.!\n");
    }
    return false;
}

namespace {

struct ResetWrite {
    uint32_t reg;
    uint32_t value;
    unsigned pause_us;
};

void write_sequence(QVDevice& device, const ResetWrite* steps, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        device.WriteReg(static_cast<int>(steps[i].reg), steps[i].value);
        hw_sleep_us(steps[i].pause_us);
    }
}

} // namespace

void QVDevice::ZKWarmReset()
{
    // The command results are not looked at: SetMailbox logs a failure and
    // the reset goes on (ResetDevice fails a reset that lost an access).
    SetMailbox(WARM_RESET_CMD_1, 0, 0, 0, 0);
    hw_sleep_us(2000);
    SetMailbox(WARM_RESET_CMD_2, 0, 0, 0, 0);
    SetMailbox(WARM_RESET_CMD_3, 0, 0, 0, 0);
    SetMailbox(WARM_RESET_CMD_4, 0, 0, 0, WARM_RESET_CMD_4_ARG4);
    hw_sleep_us(10000);

    static const ResetWrite steps[] = {
        {WARM_RESET_3804, 0x84, 10000},    {WARM_RESET_4A00, 0x20002, 10000}, {WARM_RESET_4200, 0x2, 10000},
        {WARM_RESET_6200, 0x0, 10000},     {WARM_RESET_5200, 0x0, 10000},     {WARM_RESET_5200, 0x1010, 10000},
        {WARM_RESET_4200, 0x817, 10000},   {WARM_RESET_4A00, 0x2081F, 10000}, {WARM_RESET_6200, 0x1010, 20000},
    };
    write_sequence(*this, steps, sizeof(steps) / sizeof(steps[0]));
}

void QVDevice::JQWarmReset()
{
    static const ResetWrite steps[] = {
        {WARM_RESET_3804, 0x84, 10000},  {WARM_RESET_4A00, 0x20003, 10000}, {WARM_RESET_4A0C, 0x20, 10000},
        {WARM_RESET_4A20, 0x0, 10000},   {WARM_RESET_4200, 0x3, 10000},     {WARM_RESET_6200, 0x0, 10000},
        {WARM_RESET_5200, 0x0, 10000},   {WARM_RESET_6E00, 0x0, 10000},     {WARM_RESET_6A00, 0x0, 10000},
        {WARM_RESET_5A00, 0x0, 10000},   {WARM_RESET_5E00, 0x0, 10000},     {WARM_RESET_4200, 0x817, 10000},
        {WARM_RESET_4A00, 0x2081F, 10000}, {WARM_RESET_6200, 0x1010, 10000},
    };
    write_sequence(*this, steps, sizeof(steps) / sizeof(steps[0]));
}
