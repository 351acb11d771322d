// QVDevice: access to one PCI GPU function (one chip) through its sysfs files.
#pragma once

#include <cstdint>
#include <string>

// Chip groups by PCI device ID.
inline bool is_zk_chip(int id) { return id == 0x0001; }
inline bool is_jq_chip(int id) { return id >= 1 && id <= 15 && ((0x888Cu >> id) & 1u) != 0; }
inline bool is_wz_chip(int id) { return id == 0x0210; }

struct SocketInfo {
    uint32_t product_id;
    uint32_t board_variant;
    uint32_t customer_id;
};

class QVDevice {
public:
    explicit QVDevice(std::string bdf);
    ~QVDevice();

    // Register and memory windows, identity reads.
    int DetectGPU();
    int GetProduct();
    uint32_t ReadReg(int offset);
    void WriteReg(int offset, uint32_t value);
    void WriteMemory(int offset, uint32_t length, const unsigned char* source);
    void ReadMemory(int offset, uint32_t length, unsigned char* destination);
    bool CheckMemory(uint32_t length, const unsigned char* data);
    bool GetData(unsigned char* destination, uint32_t length);
    std::string GetFirmwareVersion();
    SocketInfo GetSocketInfo();
    bool GetZK_R610Info();
    bool ReadVerifResultOfBaud();
    bool PT_for_VM();
    bool RING_ENABLE();

    // SCPU mailbox and WZ mailbox.
    bool InitMailbox();
    bool SetMailbox(uint32_t command, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4);
    bool CheckMailbox();
    bool WZSetMailbox(uint32_t command, uint32_t argument, uint32_t unused1, uint32_t unused2, uint32_t unused3);
    bool WZCheckMailbox();

    // Firmware transfer and reset.
    bool UPGRADE_FW(bool sram_mode, unsigned char* data, unsigned long length);
    bool UPGRADE_BY_SCPU_SRAM(unsigned char* data, unsigned long length);
    bool UPGRADE_BY_SCPU_HBM(unsigned char* data, unsigned long length);
    bool PutData(const unsigned char* data, uint32_t length);
    bool ResetDevice();
    void ZKWarmReset();
    void JQWarmReset();

    // Register and memory window accesses that failed (the window could not
    // be mapped, or the access did not fit in it) since the object was made,
    // and pass-through checks (PT_for_VM) that could not be made.
    unsigned long FailedAccesses() const { return failed_accesses; }

    std::string bdf;
    std::string res2_path;
    std::string res0_path;
    int reg_fd = -1;
    int mem_fd = -1;
    uint32_t reg_base = 0;
    uint32_t mem_base = 0;
    int pci_device_id = 0;
    uint32_t rd_srcid = 0;
    uint32_t wr_srcid = 0;

private:
    // One register or memory access; false, after the failed-mapping message
    // and counted in failed_accesses, when it did not happen.
    bool read_reg(int offset, uint32_t& value);
    bool write_reg(int offset, uint32_t value);
    bool write_memory(int offset, uint32_t length, const unsigned char* source);
    // The waits of the WZ mailbox: false when the busy word still reads busy
    // at the last poll or a poll could not be read.
    bool wz_wait_idle();

    unsigned long failed_accesses = 0;
};
