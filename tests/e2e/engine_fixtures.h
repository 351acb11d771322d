// Boards and firmware files for the end-to-end runs of the upgrade engine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../sim/board_map.h"
#include "fakesys.h"

namespace engine_fixtures {

// Register offsets of the boards, from the documented register map.
const uint32_t BAUD_REG = board_map::BAUD_REG;
const uint32_t ZK_VERSION_REG = board_map::FW_VERSION_REG_ZK;
const uint32_t JQ_VERSION_REG = board_map::FW_VERSION_REG_JQ;
const uint32_t WZ_VERSION_REG = board_map::FW_VERSION_REG_WZ;
const uint32_t JQ_BOARD_REG = board_map::JQ_BOARD_REG;
const uint32_t JQ_CID_REG = board_map::JQ_CID_REG;
const uint32_t ZK_COST_DOWN_REG = board_map::ZK_R610_COST_DOWN_REG;
const uint32_t MAILBOX_READY = board_map::REGG_SCPU__MAILBOX_READY;
const uint32_t MAILBOX_CMD = board_map::REGG_SCPU__MAILBOX_CMD;
const uint32_t JQ_RING_REG = board_map::RING_ENABLE_REG_OTHER;

inline uint32_t version_word(unsigned major, unsigned minor, unsigned patch)
{
    return (major << 24) | (minor << 8) | patch;
}

// CRC-16/XMODEM: polynomial 0x1021, start 0, no reflection.
inline uint16_t xmodem(const std::vector<uint8_t>& bytes)
{
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

// Appends the CRC of the bytes, low byte first; a broken CRC is off by one.
inline void append_crc(std::vector<uint8_t>& bytes, bool broken = false)
{
    uint16_t crc = xmodem(bytes);
    if (broken)
        crc ^= 1;
    bytes.push_back(static_cast<uint8_t>(crc & 0xff));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
}

// The text form: two lower-case hex digits a byte, 16 to a line.
inline std::string hex_text(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char token[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(token, sizeof(token), "%02x", bytes[i]);
        text += token;
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? "\n" : " ";
    }
    return text;
}

inline void put_word(std::vector<uint8_t>& bytes, size_t index, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[index * 4 + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// A payload of n bytes with a recognisable pattern.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

struct Image {
    std::string text;             // the file's content
    std::vector<uint8_t> image;   // the bytes that go to the board, CRC included
};

// Headered image of device_id 2: the image is the payload (body + CRC).
inline Image headered(uint32_t model_code, uint32_t variant, uint32_t version, const std::vector<uint8_t>& body,
                      bool broken_crc = false, uint32_t marker = 0)
{
    std::vector<uint8_t> header(64, 0);
    put_word(header, 0, 0xaabbccdd);
    put_word(header, 1, 0x7e51u | (model_code << 16));
    put_word(header, 2, 2);
    put_word(header, 3, variant);
    put_word(header, 4, version);
    put_word(header, 8, marker);
    Image out;
    out.image = body;
    append_crc(out.image, broken_crc);
    std::vector<uint8_t> file = header;
    file.insert(file.end(), out.image.begin(), out.image.end());
    out.text = hex_text(file);
    return out;
}

// Headered image of device_id 3 (WZ-R820): the whole file is the image.
inline Image wz_image(uint32_t version, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> file(64, 0);
    put_word(file, 0, 0xaabbccdd);
    put_word(file, 1, 0x7e51u);
    put_word(file, 2, 3);
    put_word(file, 4, version);
    file.insert(file.end(), body.begin(), body.end());
    append_crc(file);
    Image out;
    out.image = file;
    out.text = hex_text(file);
    return out;
}

// Headerless ZK-R610 image; signed: a full 0x40000-byte region and 64
// signature bytes (here not a valid signature).
inline Image zk_image(const std::vector<uint8_t>& body, bool with_signature = false)
{
    Image out;
    out.image = body;
    put_word(out.image, 4, 0);  // word 4 not above 24: ZK-R610
    append_crc(out.image);
    std::vector<uint8_t> file = out.image;
    if (with_signature) {
        file.resize(0x40000, 0);
        std::vector<uint8_t> signature = pattern(64, 0x33);
        file.insert(file.end(), signature.begin(), signature.end());
    }
    out.text = hex_text(file);
    return out;
}

inline std::string to_string(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A chip under its own switch (or one shared with the chips given the same
// sw, whatever their bus), with the mailbox ready.
inline fakesys::PciFunction chip(const std::string& bdf, const std::string& device, const std::string& sw = "")
{
    fakesys::PciFunction fn;
    fn.bdf = bdf;
    fn.device = device;
    fn.node = "/sys/devices/pci" + bdf.substr(0, 4) + ":00/sw-" + (sw.empty() ? bdf : sw) + "/up/down/slot/" + bdf;
    fn.regs[MAILBOX_READY] = board_map::MAILBOX_READY_VALUE;
    return fn;
}

// A JQ chip board of the given product code, variant and firmware version.
inline fakesys::PciFunction jq_board(const std::string& bdf, uint32_t code, uint32_t variant, uint32_t version,
                                     const std::string& device = "0x0002", const std::string& sw = "")
{
    fakesys::PciFunction fn = chip(bdf, device, sw);
    fn.regs[JQ_BOARD_REG] = (code << 25) | variant;
    fn.regs[JQ_VERSION_REG] = version;
    fn.regs[BAUD_REG] = board_map::BAUD_VERIF_PASSED << 16;  // verification passed
    return fn;
}

inline fakesys::PciFunction zk_board(const std::string& bdf, uint32_t version, bool cost_down = false)
{
    fakesys::PciFunction fn = chip(bdf, "0x0001");
    fn.regs[ZK_VERSION_REG] = version;
    fn.regs[ZK_COST_DOWN_REG] = cost_down ? 0 : board_map::ZK_R610_COST_DOWN_BIT;
    return fn;
}

inline fakesys::PciFunction wz_board(const std::string& bdf, uint32_t version)
{
    fakesys::PciFunction fn = chip(bdf, "0x0210");
    fn.regs[WZ_VERSION_REG] = version;
    return fn;
}

inline std::string log_text() { return fakesys::FakeSystem::ReadFile("/var/log/qvFwTool/qvfw-tool.log"); }

inline bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// How often part stands in text (overlapping places counted).
inline size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The line that opens an upgrade run on standard output.
inline const char* const START_LINE = "Start to upgrade firmware... \n\n";

inline std::string resource2(const std::string& bdf) { return fakesys::FakeSystem::PciPath(bdf) + "/resource2"; }

// A board's success line on standard output.
inline std::string success(const std::string& bdf, const std::string& from, const std::string& to)
{
    return "[" + bdf + "] Successfully upgrade firmware from " + from + " to " + to + "\n";
}

inline std::string reboot_advice(const std::string& version)
{
    return "\nIMPORTANT:\n    Please reboot system and verify whether firmware v" + version +
           " is successfully installed. \n    If firmware version number is not changed after reboot, you must "
           "power off/on system and verify again. \n";
}

} // namespace engine_fixtures
