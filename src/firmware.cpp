// Firmware: one firmware file of hex byte tokens. Checks its text, detects its
// layout, product and version, reads and verifies a signed headerless image,
// and hands out the image bytes.
#include "firmware.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "firmware_detect.h"
#include "firmware_scpu_share_misc_crc16.h"
#include "logger.h"
#include "sm2_verify.h"
#include "utils.h"

namespace {

constexpr unsigned int HEADER_MAGIC = 0xaabbccdd;
constexpr unsigned int BOARD_VENDOR_ID = 0x7e51;
constexpr unsigned int ALT_PRODUCT_MARKER = 0xfffffffe;
constexpr int SIGNATURE_BYTES = 64;

// Reads count words into words; false as soon as one is missing.
bool read_words(FILE* file, unsigned int* words, int count)
{
    for (int i = 0; i < count; i++) {
        if (hex_file_read32(file, &words[i]) < 0)
            return false;
    }
    return true;
}

int hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool is_space(int c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f';
}

// Reads the next byte token into value, skipping any white space before it.
// With whole_token the token's hex digits are all taken and the low 8 bits of
// its value kept; otherwise at most two digits are taken, the rest of a longer
// token being left for the next call. False at the end of the file or at a
// character that cannot start a token (which is left unread).
bool next_byte(FILE* file, bool whole_token, unsigned char& value)
{
    int c;
    do {
        c = getc_unlocked(file);
    } while (is_space(c));
    int digit = hex_digit(c);
    if (digit < 0) {
        if (c != EOF)
            ungetc(c, file);
        return false;
    }
    unsigned int acc = static_cast<unsigned int>(digit);
    int digits = 1;
    while (whole_token || digits < 2) {
        c = getc_unlocked(file);
        digit = hex_digit(c);
        if (digit < 0) {
            if (c != EOF)
                ungetc(c, file);
            break;
        }
        acc = ((acc << 4) | static_cast<unsigned int>(digit)) & 0xff;
        digits++;
    }
    value = static_cast<unsigned char>(acc);
    return true;
}

bool admitted_char(int c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ' ' || c == '\n' || c == '\r';
}

// Opens the firmware file for reading, close-on-exec, so that the shell
// commands of the run do not inherit it. The open does not block, so that a
// FIFO or a device in the file's place is refused at once, as a file that
// cannot be opened; a regular file or a directory is taken.
FILE* open_firmware_file(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    int flags = -1;
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) ||
        (flags = fcntl(fd, F_GETFL)) < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "r");
    if (file == nullptr)
        close(fd);
    return file;
}

} // namespace

product_t zk_match_product(FILE* file)
{
    unsigned int words[5];
    if (!read_words(file, words, 2)) {
        rewind(file);
        return UNKNOWN;
    }
    // Only the magic together with the boards' vendor ID marks a headered image.
    if (words[0] == HEADER_MAGIC && (words[1] & 0xffff) == BOARD_VENDOR_ID) {
        rewind(file);
        return UNKNOWN;
    }
    if (!read_words(file, words + 2, 3)) {
        rewind(file);
        return UNKNOWN;
    }
    rewind(file);
    return words[4] > 24 ? ZK_R610_CD : ZK_R610;
}

product_t jq_match_product(FILE* file)
{
    unsigned int words[16];
    if (!read_words(file, words, 4)) {
        rewind(file);
        return UNKNOWN;
    }
    if (words[0] != HEADER_MAGIC) {
        qvlogger::logger(LOG_FATAL, "Invalid file header!\n");
        rewind(file);
        return UNKNOWN;
    }
    if ((words[1] & 0xffff) != BOARD_VENDOR_ID) {
        qvlogger::logger(LOG_FATAL, "Invalid vendor_id!\n");
        rewind(file);
        return UNKNOWN;
    }
    if (!read_words(file, words + 4, 5)) {
        rewind(file);
        return UNKNOWN;
    }
    unsigned int device_id = words[2] & 0xff;
    if (device_id != 2 && device_id != 3) {
        qvlogger::logger(LOG_FATAL, "Invalid device_id!\n");
        rewind(file);
        return UNKNOWN;
    }
    // A WZ image is sent whole, header included: back to the start.
    if (device_id == 3) {
        rewind(file);
        return WZ_R820;
    }

    product_t product;
    if (words[8] == ALT_PRODUCT_MARKER) {
        product = ZK_R640_C;
    } else {
        unsigned int model_code = (words[1] >> 16) & 0xff;
        unsigned int model_variant = words[3] & 0xffff;
        // A code/variant pair without a product (code 16 with a variant other
        // than 1) is no match, like an unlisted code.
        std::optional<product_t> mapped = product_id_map(model_code, model_variant);
        if (!mapped || *mapped == UNKNOWN) {
            rewind(file);
            return UNKNOWN;
        }
        product = *mapped;
    }

    if (!read_words(file, words + 9, 7)) {
        rewind(file);
        return UNKNOWN;
    }
    // Left just past the header, where the payload begins.
    return product;
}

std::string getFileFirmwareVersion(FILE* file)
{
    unsigned int words[5];
    if (!read_words(file, words, 4))
        return "";
    bool have_version = hex_file_read32(file, &words[4]) >= 0;
    rewind(file);
    if (!have_version)
        return "";
    unsigned int v = words[4];
    char text[32];
    snprintf(text, sizeof(text), "%u.%u.%u", (v >> 24) & 0xff, (v >> 8) & 0xffff, v & 0xff);
    return text;
}

Firmware::Firmware(std::string path) : fw_path(std::move(path)) {}

Firmware::~Firmware()
{
    if (fw_file != nullptr)
        fclose(fw_file);
    free(fw_image);
}

bool Firmware::Init()
{
    if (!is_file_exist(fw_path)) {
        qvlogger::logger(LOG_FATAL, "Firmware file does not exist: %s\n", fw_path.c_str());
        return false;
    }
    fw_file = open_firmware_file(fw_path);
    if (fw_file == nullptr) {
        qvlogger::logger(LOG_FATAL, "Failed to open firmware file, %s\n", fw_path.c_str());
        return false;
    }
    return CheckFirmwareFile();
}

bool Firmware::CheckFirmwareFile()
{
    std::string::size_type dot = fw_path.rfind('.');
    bool supported = dot != std::string::npos && fw_path.compare(dot, std::string::npos, ".hex") == 0;

    // Every character must be admitted, and a token holds at most two digits:
    // a longer run of digits is no byte of this format. A read that fails ends
    // the scan like the end of the file; the readers then find no bytes.
    if (supported && fw_file != nullptr) {
        int digits = 0;
        int c;
        while ((c = getc_unlocked(fw_file)) != EOF) {
            if (!admitted_char(c)) {
                supported = false;
                break;
            }
            digits = (c == ' ' || c == '\n' || c == '\r') ? 0 : digits + 1;
            if (digits > 2) {
                supported = false;
                break;
            }
        }
    }
    if (!supported || fw_file == nullptr) {
        if (fw_file != nullptr) {
            fclose(fw_file);
            fw_file = nullptr;
        }
        qvlogger::logger(LOG_FATAL, "Unsupported firmware file format: %s\n", fw_path.c_str());
        return false;
    }
    rewind(fw_file);
    return true;
}

product_t Firmware::MatchProduct()
{
    fw_product = UNKNOWN;
    if (fw_file == nullptr)
        return fw_product;
    product_t product = zk_match_product(fw_file);
    if (product == UNKNOWN) {
        fw_version = getFileFirmwareVersion(fw_file);
        product = jq_match_product(fw_file);
    }
    fw_product = product;
    return fw_product;
}

bool Firmware::SignaInit()
{
    free(fw_image);
    fw_image = nullptr;
    fw_image_size = 0;
    fw_message_size = 0;
    fw_signed = false;

    if (fw_file == nullptr) {
        qvlogger::logger(LOG_FATAL, "Firmware file is not open: %s\n", fw_path.c_str());
        return false;
    }
    unsigned char* data = static_cast<unsigned char*>(malloc(FW_IMAGE_MAX));
    if (data == nullptr) {
        qvlogger::logger(LOG_FATAL, "Failed to allocate the firmware image buffer: %s\n", fw_path.c_str());
        return false;
    }

    // The first FW_IMAGE_MAX bytes form the data region; what follows is the
    // signature, of which the first 64 bytes are kept and the rest only counted.
    unsigned char signature[SIGNATURE_BYTES];
    int data_count = 0;
    long signature_count = 0;
    unsigned char value;
    rewind(fw_file);
    while (next_byte(fw_file, false, value)) {
        if (data_count < FW_IMAGE_MAX) {
            data[data_count++] = value;
        } else {
            if (signature_count < SIGNATURE_BYTES)
                signature[signature_count] = value;
            signature_count++;
        }
    }

    int image_size = data_count;
    int message_size = data_count;
    if (data_count == FW_IMAGE_MAX && signature_count == SIGNATURE_BYTES) {
        fw_signed = true;
        memcpy(fw_signature, signature, SIGNATURE_BYTES);
        // The region is zero-padded after the image, and the signature covers
        // the region without its trailing zeros.
        message_size = FW_IMAGE_MAX;
        while (message_size > 0 && data[message_size - 1] == 0)
            message_size--;
        image_size = message_size;
        // A CRC whose high byte (or both bytes) is zero lost those bytes to the
        // padding rule: when the stripped image fails its CRC and putting one or
        // two of the zeros back makes it pass, that longer image is the one to
        // check and send. An all-zero region holds no image at all.
        if (message_size > 0 && !fw_crc_check(data, static_cast<uint32_t>(message_size))) {
            for (int extra = 1; extra <= 2 && message_size + extra <= FW_IMAGE_MAX; extra++) {
                if (fw_crc_check(data, static_cast<uint32_t>(message_size + extra))) {
                    image_size = message_size + extra;
                    break;
                }
            }
        }
    }

    // At least one byte, so that an empty image still has a block of its own.
    fw_image = static_cast<unsigned char*>(malloc(image_size > 0 ? image_size : 1));
    if (fw_image == nullptr) {
        free(data);
        fw_signed = false;
        qvlogger::logger(LOG_FATAL, "Failed to allocate the firmware image buffer: %s\n", fw_path.c_str());
        return false;
    }
    memcpy(fw_image, data, image_size);
    fw_image_size = image_size;
    fw_message_size = message_size;
    free(data);
    return true;
}

bool Firmware::IsSigned()
{
    return fw_signed;
}

bool Firmware::SignaVerify()
{
    if (fw_image != nullptr &&
        sm2_verify_sig(fw_image, fw_message_size, user_id, USER_ID_LEN, pub_key, fw_signature) == 0)
        return true;
    qvlogger::logger(LOG_INFO, "Function: %s()(%d): \n", "SignaVerify", 386);
    qvlogger::logger(LOG_FATAL, "Error: Invalid firmware file, SM2 signature verification failed.\n");
    return false;
}

int Firmware::ReadData(unsigned char*& out)
{
    out = nullptr;
    if (fw_file == nullptr) {
        qvlogger::logger(LOG_FATAL, "Firmware file is not open: %s\n", fw_path.c_str());
        return -1;
    }
    unsigned char* buffer = static_cast<unsigned char*>(malloc(FW_IMAGE_MAX));
    if (buffer == nullptr) {
        qvlogger::logger(LOG_FATAL, "Failed to allocate the firmware image buffer: %s\n", fw_path.c_str());
        return -1;
    }
    int count = 0;
    unsigned char value;
    while (next_byte(fw_file, true, value)) {
        // A payload longer than the buffer cannot go to any board.
        if (count == FW_IMAGE_MAX) {
            free(buffer);
            qvlogger::logger(LOG_FATAL, "Firmware image is longer than %d bytes: %s\n", FW_IMAGE_MAX,
                             fw_path.c_str());
            return -1;
        }
        buffer[count++] = value;
    }
    out = buffer;
    return count;
}

int Firmware::ReadFW_Data(unsigned char*& out)
{
    out = nullptr;
    if (fw_image == nullptr) {
        qvlogger::logger(LOG_FATAL, "No firmware image has been read: %s\n", fw_path.c_str());
        return -1;
    }
    unsigned char* buffer = static_cast<unsigned char*>(malloc(FW_IMAGE_MAX));
    if (buffer == nullptr) {
        qvlogger::logger(LOG_FATAL, "Failed to allocate the firmware image buffer: %s\n", fw_path.c_str());
        return -1;
    }
    memcpy(buffer, fw_image, fw_image_size);
    out = buffer;
    return fw_image_size;
}

product_t Firmware::GetProduct()
{
    return fw_product;
}

std::string Firmware::GetJQ_Version()
{
    return fw_version;
}

FILE* Firmware::GetFirmwareHandle()
{
    return fw_file;
}
