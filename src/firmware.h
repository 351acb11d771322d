// Firmware: the one firmware file of a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "catalogue.h"

// Size of every image buffer handed out, and the longest image of any layout.
constexpr int FW_IMAGE_MAX = 0x40000;

class Firmware {
public:
    explicit Firmware(std::string path);
    ~Firmware();

    bool Init();
    bool CheckFirmwareFile();
    product_t MatchProduct();
    // Reads a headerless image and its signature; false only when its buffers
    // cannot be had (logged), and then no image can be handed out.
    bool SignaInit();
    bool IsSigned();
    bool SignaVerify();
    // Image readers: out receives a new FW_IMAGE_MAX-byte malloc block that the
    // caller frees. The result is the image's byte count; -1 when no image can be
    // handed out (the reason is logged and out is null).
    int ReadData(unsigned char*& out);
    int ReadFW_Data(unsigned char*& out);
    product_t GetProduct();
    std::string GetJQ_Version();
    FILE* GetFirmwareHandle();

    std::string fw_path;
    std::string fw_version;
    FILE* fw_file = nullptr;
    product_t fw_product = UNKNOWN;
    unsigned char fw_signature[64] = {};
    // The headerless image handed out by ReadFW_Data (fw_image_size bytes).
    unsigned char* fw_image = nullptr;
    int fw_image_size = 0;
    bool fw_signed = false;
    // Length of the signed message, the first bytes of fw_image: the data region
    // without its trailing zeros. fw_image_size is one or two bytes longer when
    // the image's CRC ends in zero bytes that the padding rule took away.
    int fw_message_size = 0;
};
