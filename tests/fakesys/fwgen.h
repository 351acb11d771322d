// fwgen: builds firmware files of every layout for tests, signed with
// OpenSSL's own SM2 signer.
//
//   fwgen::Header h;                       // magic, vendor 0x7e51, device_id 2
//   h.model_code = 1; h.version_word = 0x01000203;
//   fwgen::write("fw.hex", fwgen::headered(h, fwgen::random_bytes(1000, 7)));
//   fwgen::write("zk.hex", fwgen::signed_file(fwgen::headerless(fwgen::zk_body(5000, 30))));
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <openssl/evp.h>

namespace fwgen {

using Bytes = std::vector<uint8_t>;

constexpr size_t REGION = 0x40000;       // data region of a headerless file
constexpr size_t SIGNED_SIZE = REGION + 64;  // a signed headerless file, in bytes

enum class Crc { Good, Bad };

// body followed by its CRC-16/XMODEM, low byte first; Crc::Bad stores it with
// its lowest bit flipped.
Bytes with_crc(Bytes body, Crc crc = Crc::Good);

// Deterministic pseudo-random bytes.
Bytes random_bytes(size_t n, uint32_t seed);

// The 64-byte header of a headered image.
struct Header {
    uint32_t magic = 0xaabbccdd;
    uint16_t vendor_id = 0x7e51;
    uint8_t model_code = 0;      // word 1 bits 16-23
    uint8_t device_id = 2;       // word 2 bits 0-7
    uint16_t model_variant = 0;  // word 3 bits 0-15
    uint32_t version_word = 0;   // word 4
    uint32_t marker = 0;         // word 8; 0xfffffffe makes the file product 0
};
Bytes header(const Header& h);

// A headered file. device_id 3: header + body + CRC over header and body.
// Any other device_id: header + body + CRC over body (the payload carries the CRC).
Bytes headered(const Header& h, const Bytes& body, Crc crc = Crc::Good);

// A headerless image: body + CRC.
Bytes headerless(const Bytes& body, Crc crc = Crc::Good);

// A headerless body of n bytes (n >= 20) whose word 4 (bytes 16-19) is word4:
// product 2 when word4 > 24, else product 1.
Bytes zk_body(size_t n, uint32_t word4, uint32_t seed = 1);

// A signed headerless file: image zero-padded to REGION bytes, then r and s of
// the SM2 signature (SM3, ID "1234567812345678") over the image without its
// trailing zero bytes. key null: the project's release key.
Bytes signed_file(const Bytes& image, EVP_PKEY* key = nullptr);

// The release key of tests/fixtures (loaded once, owned by fwgen).
EVP_PKEY* release_key();
// A fresh SM2 key; free it with EVP_PKEY_free.
EVP_PKEY* new_key();
// The key's public point: 0x04, X, Y.
std::array<uint8_t, 65> public_key(EVP_PKEY* key);
// r || s of OpenSSL's SM2 signature of message, with the ID "1234567812345678".
std::array<uint8_t, 64> sign(const uint8_t* message, size_t length, EVP_PKEY* key);
// OpenSSL's own SM2 verification of r || s, with the same ID.
bool openssl_verify(const uint8_t* message, size_t length, const uint8_t* signature, EVP_PKEY* key);

// Text layouts of the hex tokens.
enum class Style {
    Lines16,      // 16 two-digit tokens to a line, single blanks, "\n"
    OneLine,      // every token on one line
    CrLf,         // 16 to a line, "\r\n" line ends
    Ragged,       // uneven runs of blanks, lines of varying length, blank and CR LF lines
    ShortTokens,  // 16 to a line, values below 0x10 written with one digit
};
std::string text(const Bytes& bytes, Style style = Style::Lines16);
// Writes text(bytes, style) to path; false when the file cannot be written.
bool write(const std::string& path, const Bytes& bytes, Style style = Style::Lines16);

} // namespace fwgen
