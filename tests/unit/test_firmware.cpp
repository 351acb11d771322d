// The firmware file: text checks, layout and product detection, the signed
// headerless image and the image readers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "firmware.h"
#include "firmware_detect.h"
#include "firmware_scpu_share_misc_crc16.h"
#include "fwgen.h"
#include "logger.h"

namespace fs = std::filesystem;
using fwgen::Bytes;

namespace {

const char* const FATAL = "[    FATAL]  ";

// A scratch directory with the log file open in it; both go away at the end.
class FirmwareTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qvfw-fw-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        log_path = dir + "/log";
        qvlogger::init(log_path.c_str());
    }
    void TearDown() override
    {
        if (qvlogger::fp_ != nullptr)
            fclose(qvlogger::fp_);
        qvlogger::fp_ = nullptr;
        fs::remove_all(dir);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::string write(const std::string& name, const Bytes& bytes, fwgen::Style style = fwgen::Style::Lines16)
    {
        std::string p = path(name);
        EXPECT_TRUE(fwgen::write(p, bytes, style));
        return p;
    }
    std::string write_text(const std::string& name, const std::string& text)
    {
        std::string p = path(name);
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }

    // Everything logged since the last call.
    std::string take_log()
    {
        std::ifstream in(log_path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string all = ss.str();
        std::string fresh = all.substr(log_seen);
        log_seen = all.size();
        return fresh;
    }

    std::string dir;
    std::string log_path;
    size_t log_seen = 0;
};

Bytes words(std::initializer_list<uint32_t> ws)
{
    Bytes out;
    for (uint32_t w : ws)
        for (int i = 0; i < 4; i++)
            out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}

// The header of h cut to its first n words.
Bytes header_words(const fwgen::Header& h, size_t n)
{
    Bytes b = fwgen::header(h);
    b.resize(4 * n);
    return b;
}

fwgen::Header hdr(uint8_t device_id, uint8_t code, uint16_t variant = 0, uint32_t marker = 0)
{
    fwgen::Header h;
    h.device_id = device_id;
    h.model_code = code;
    h.model_variant = variant;
    h.marker = marker;
    h.version_word = 0x02001203;  // 2.18.3
    return h;
}

Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A headerless image whose stored CRC satisfies ok; found by search.
template <typename Pred>
Bytes image_with_crc(Pred ok)
{
    for (uint32_t seed = 1;; seed++) {
        Bytes image = fwgen::headerless(fwgen::zk_body(700, 3, seed));
        uint8_t lo = image[image.size() - 2], hi = image.back();
        if (ok(lo, hi) && image[image.size() - 3] != 0)
            return image;
    }
}

// A headerless image whose CRC is 0x0000: a body followed by its own CRC, high
// byte first, has the CRC 0.
Bytes image_with_zero_crc()
{
    for (uint32_t seed = 1;; seed++) {
        Bytes body = fwgen::zk_body(698, 3, seed);
        uint16_t crc = crc16_ccitt(body.data(), static_cast<uint32_t>(body.size()));
        if ((crc & 0xff) == 0)
            continue;
        body.push_back(static_cast<uint8_t>(crc >> 8));
        body.push_back(static_cast<uint8_t>(crc & 0xff));
        return fwgen::headerless(body);
    }
}

} // namespace

// The detection outcome of every kind of file: product, version text, the
// position each routine leaves, and the messages that reach the log.
TEST_F(FirmwareTest, DetectionOutcomes)
{
    enum Pos { START, AFTER_HEADER, END };
    struct Case {
        const char* what;
        Bytes bytes;
        product_t product;
        const char* version;
        Pos version_pos;  // left by getFileFirmwareVersion
        Pos jq_pos;       // left by jq_match_product
        const char* message;
        fwgen::Style style = fwgen::Style::Lines16;
    };
    const uint32_t M = 0xaabbccdd;
    const Bytes payload = fwgen::random_bytes(40, 3);
    // Code 29 variant 1, with every bit set that the header leaves uninterpreted:
    // word 1 bits 24-31, word 2 bits 8-31, word 3 bits 16-31.
    Bytes noisy_header = fwgen::header(hdr(2, 29, 1));
    for (size_t at : {7, 9, 10, 11, 14, 15})
        noisy_header[at] = 0xa5;
    const Case cases[] = {
        {"empty", {}, UNKNOWN, "", END, START, ""},
        {"three words", words({M, 0x7e51, 2}), UNKNOWN, "", END, START, ""},
        {"headerless, word 4 = 24", words({1, 2, 3, 4, 24}), ZK_R610, "", START, START, ""},
        {"headerless, word 4 = 25", words({1, 2, 3, 4, 25, 6}), ZK_R610_CD, "", START, START, ""},
        {"headerless, word 4 = 0xffffffff", words({1, 2, 3, 4, 0xffffffff}), ZK_R610_CD, "", START, START, ""},
        {"magic, other vendor, 5 words", words({M, 0x7e50, 2, 0, 30}), ZK_R610_CD, "", START, START, ""},
        {"not the magic, 4 words", words({1, 0x7e51, 2, 0}), UNKNOWN, "", START, START, "Invalid file header!\n"},
        {"magic, other vendor, 4 words", words({M, 0x7e52, 2, 0}), UNKNOWN, "", START, START, "Invalid vendor_id!\n"},
        {"device_id 4", header_words(hdr(4, 1), 9), UNKNOWN, "2.18.3", START, START, "Invalid device_id!\n"},
        {"device_id 4, 8 words", header_words(hdr(4, 1), 8), UNKNOWN, "2.18.3", START, START, ""},
        {"device_id 3, 9 words", header_words(hdr(3, 99, 7, 5), 9), WZ_R820, "2.18.3", START, START, ""},
        {"device_id 3, whole image", fwgen::headered(hdr(3, 1), payload), WZ_R820, "2.18.3", START, START, ""},
        {"marker, unlisted code", cat(fwgen::header(hdr(2, 6, 0, 0xfffffffe)), payload), ZK_R640_C, "2.18.3", START, AFTER_HEADER, ""},
        {"marker, header only", fwgen::header(hdr(2, 1, 0, 0xfffffffe)), ZK_R640_C, "2.18.3", START, AFTER_HEADER, ""},
        {"code 1", cat(fwgen::header(hdr(2, 1)), payload), JQ_R33_16, "2.18.3", START, AFTER_HEADER, ""},
        {"code 29 variant 2", cat(fwgen::header(hdr(2, 29, 2)), payload), JQ_R33_16, "2.18.3", START, AFTER_HEADER, ""},
        {"code 16 variant 1", cat(fwgen::header(hdr(2, 16, 1)), payload), ZK_R640_OAM_PA, "2.18.3", START, AFTER_HEADER, ""},
        {"uninterpreted bits set", cat(noisy_header, payload), JQ_R610_32, "2.18.3", START, AFTER_HEADER, ""},
        {"code 16 variant 2", cat(fwgen::header(hdr(2, 16, 2)), payload), UNKNOWN, "2.18.3", START, START, ""},
        {"unlisted code", cat(fwgen::header(hdr(2, 6)), payload), UNKNOWN, "2.18.3", START, START, ""},
        {"8 words", header_words(hdr(2, 1), 8), UNKNOWN, "2.18.3", START, START, ""},
        {"15 words", header_words(hdr(2, 1), 15), UNKNOWN, "2.18.3", START, START, ""},
        {"code 1, CR LF and ragged", cat(fwgen::header(hdr(2, 1)), payload), JQ_R33_16, "2.18.3", START, AFTER_HEADER, "", fwgen::Style::Ragged},
        {"code 1, one-digit tokens", cat(fwgen::header(hdr(2, 1)), payload), JQ_R33_16, "2.18.3", START, AFTER_HEADER, "", fwgen::Style::ShortTokens},
        {"headerless, one-digit tokens", words({0, 0, 0, 0, 10}), ZK_R610, "", START, START, "", fwgen::Style::ShortTokens},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string p = write("fw.hex", c.bytes, c.style);
        std::string text = fwgen::text(c.bytes, c.style);
        // Where the payload begins: past 64 tokens and the character after them.
        long after_header = 0;
        for (int tokens = 0; tokens < 64 && after_header < long(text.size()); after_header++) {
            bool in_token = isxdigit(static_cast<unsigned char>(text[after_header]));
            if (in_token && !isxdigit(static_cast<unsigned char>(text[after_header + 1])))
                tokens++;
        }
        after_header += 1;
        auto offset = [&](Pos pos) { return pos == START ? 0L : pos == END ? long(text.size()) : after_header; };

        // The three routines one by one, each from the start of the file.
        bool headerless = c.product == ZK_R610 || c.product == ZK_R610_CD;
        FILE* f = fopen(p.c_str(), "r");
        EXPECT_EQ(zk_match_product(f), headerless ? c.product : UNKNOWN);
        EXPECT_EQ(ftell(f), 0);
        rewind(f);
        if (!headerless) {
            EXPECT_EQ(getFileFirmwareVersion(f), c.version);
            EXPECT_EQ(ftell(f), offset(c.version_pos));
            rewind(f);
            EXPECT_EQ(jq_match_product(f), c.product);
            EXPECT_EQ(ftell(f), offset(c.jq_pos));
            EXPECT_EQ(take_log(), c.message[0] ? std::string(FATAL) + c.message : "");
        }
        fclose(f);

        // The same file through the object, in the order the engine uses.
        Firmware fw(p);
        ASSERT_TRUE(fw.Init());
        EXPECT_EQ(fw.MatchProduct(), c.product);
        EXPECT_EQ(fw.GetProduct(), c.product);
        EXPECT_EQ(fw.GetJQ_Version(), headerless ? "" : c.version);
        EXPECT_EQ(ftell(fw.GetFirmwareHandle()), headerless ? 0 : offset(c.jq_pos));
        EXPECT_EQ(take_log(), !headerless && c.message[0] ? std::string(FATAL) + c.message : "");
    }
}

TEST_F(FirmwareTest, InitFailures)
{
    const std::string unsupported = "Unsupported firmware file format: ";
    const std::string good = fwgen::text(fwgen::headerless(fwgen::zk_body(64, 1)));
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"fw.HEX", good},
        {"fw.hex.bak", good},
        {"fw", good},
        {"tab.hex", "01 02\t03\n"},
        {"upper.hex", "01 0A 03\n"},
        {"nul.hex", std::string("01 02", 5) + std::string(1, '\0') + "03\n"},
        {"prefix.hex", "0x01 02\n"},
        {"three-digit.hex", "01 102 03\n"},
        {"long-token.hex", "0000000001\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = write_text(c.name, c.text);
        Firmware fw(p);
        EXPECT_FALSE(fw.Init());
        EXPECT_EQ(fw.fw_file, nullptr);  // closed
        EXPECT_EQ(take_log(), FATAL + unsupported + p + "\n");
    }

    // Accepted: an empty file, one-digit tokens, CR LF and blank lines.
    for (const char* text : {"", "a b c\r\n\r\n\n 1 2\n", "01 02 03"}) {
        Firmware fw(write_text("ok.hex", text));
        EXPECT_TRUE(fw.Init()) << text;
        EXPECT_EQ(ftell(fw.fw_file), 0);
    }
    Firmware empty(write_text("empty.hex", ""));
    ASSERT_TRUE(empty.Init());
    EXPECT_EQ(empty.MatchProduct(), UNKNOWN);
    EXPECT_EQ(take_log(), "");

    Firmware missing(path("missing.hex"));
    EXPECT_FALSE(missing.Init());
    EXPECT_EQ(take_log(), FATAL + std::string("Firmware file does not exist: ") + path("missing.hex") + "\n");

    // A file that this user cannot read.
    std::string locked = write_text("locked.hex", good);
    chmod(locked.c_str(), 0);
    chmod(dir.c_str(), 0755);
    ASSERT_EQ(seteuid(65534), 0);
    Firmware fw(locked);
    bool opened = fw.Init();
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_FALSE(opened);
    EXPECT_EQ(take_log(), FATAL + std::string("Failed to open firmware file, ") + locked + "\n");

    // A directory opens and yields no bytes: it passes like an empty file and
    // matches no product.
    fs::create_directory(path("dir.hex"));
    Firmware d(path("dir.hex"));
    EXPECT_TRUE(d.Init());
    EXPECT_EQ(d.MatchProduct(), UNKNOWN);
    EXPECT_EQ(take_log(), "");
}

TEST_F(FirmwareTest, HeaderlessLayouts)
{
    struct Case {
        const char* what;
        Bytes file;
        bool is_signed;
        int image_size;
        bool verifies;
    };
    const Bytes image = fwgen::headerless(fwgen::zk_body(5000, 30, 9));
    const Bytes full = fwgen::headerless(fwgen::zk_body(fwgen::REGION - 2, 2, 4));
    // Trailing zeros belong to an unsigned image: only a signed region is padded.
    const Bytes zero_end = image_with_crc([](uint8_t lo, uint8_t hi) { return hi == 0 && lo != 0; });
    Bytes bad_sig = fwgen::signed_file(image);
    bad_sig[fwgen::REGION + 40] ^= 0x10;
    EVP_PKEY* other_key = fwgen::new_key();
    Bytes other_signer = fwgen::signed_file(image, other_key);
    EVP_PKEY_free(other_key);
    const Case cases[] = {
        {"short, unsigned", image, false, 5002, false},
        {"short, unsigned, ends in a zero byte", zero_end, false, 702, false},
        {"signed", fwgen::signed_file(image), true, 5002, true},
        {"signed, full region", fwgen::signed_file(full), true, int(fwgen::REGION), true},
        {"signed, all-zero region", fwgen::signed_file(Bytes()), true, 0, true},
        {"signed, s altered", bad_sig, true, 5002, false},
        {"signed by another key", other_signer, true, 5002, false},
        {"region and 32 bytes", cat(full, Bytes(32, 7)), false, int(fwgen::REGION), false},
        {"region and 65 bytes", cat(full, Bytes(65, 7)), false, int(fwgen::REGION), false},
        {"region only", full, false, int(fwgen::REGION), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Firmware fw(write("zk.hex", c.file, fwgen::Style::OneLine));
        ASSERT_TRUE(fw.Init());
        product_t p = fw.MatchProduct();
        EXPECT_TRUE(p == ZK_R610 || p == ZK_R610_CD);
        ASSERT_TRUE(fw.SignaInit());
        EXPECT_EQ(fw.IsSigned(), c.is_signed);
        EXPECT_EQ(fw.fw_image_size, c.image_size);
        EXPECT_EQ(memcmp(fw.fw_image, c.file.data(), c.image_size), 0);
        if (c.is_signed) {
            EXPECT_EQ(memcmp(fw.fw_signature, c.file.data() + fwgen::REGION, 64), 0);
            EXPECT_EQ(fw.SignaVerify(), c.verifies);
            take_log();
        }

        unsigned char* out = nullptr;
        ASSERT_EQ(fw.ReadFW_Data(out), c.image_size);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(memcmp(out, c.file.data(), c.image_size), 0);
        EXPECT_EQ(fw_crc_check(out, c.image_size), c.image_size > 0);
        out[0] ^= 0xff;  // the caller's own block
        free(out);
    }
}

TEST_F(FirmwareTest, FailedSignatureWritesTraceThenMessage)
{
    Bytes file = fwgen::signed_file(fwgen::headerless(fwgen::zk_body(300, 1)));
    file[fwgen::REGION + 5] ^= 1;
    Firmware fw(write("zk.hex", file));
    ASSERT_TRUE(fw.Init());
    ASSERT_EQ(fw.MatchProduct(), ZK_R610);
    ASSERT_TRUE(fw.SignaInit());
    ASSERT_TRUE(fw.IsSigned());
    EXPECT_FALSE(fw.SignaVerify());
    EXPECT_EQ(take_log(), "[     Info]  Function: SignaVerify()(386): \n"
                          "[    FATAL]  Error: Invalid firmware file, SM2 signature verification failed.\n");
}

TEST_F(FirmwareTest, ReadFwDataGivesIndependentBuffers)
{
    Bytes image = fwgen::headerless(fwgen::zk_body(1000, 1));
    Firmware fw(write("zk.hex", image, fwgen::Style::ShortTokens));
    ASSERT_TRUE(fw.Init());
    ASSERT_EQ(fw.MatchProduct(), ZK_R610);
    ASSERT_TRUE(fw.SignaInit());
    unsigned char* a = nullptr;
    unsigned char* b = nullptr;
    ASSERT_EQ(fw.ReadFW_Data(a), 1002);
    memset(a, 0xee, FW_IMAGE_MAX);  // the whole block is the caller's
    ASSERT_EQ(fw.ReadFW_Data(b), 1002);
    EXPECT_NE(a, b);
    EXPECT_EQ(memcmp(b, image.data(), image.size()), 0);
    free(a);
    free(b);

    // Before any image was read there is nothing to hand out.
    Firmware none(write("zk2.hex", image));
    ASSERT_TRUE(none.Init());
    unsigned char* c = reinterpret_cast<unsigned char*>(&none);
    EXPECT_EQ(none.ReadFW_Data(c), -1);
    EXPECT_EQ(c, nullptr);
}

// A CRC whose high byte is zero ends the image in a zero byte that the padding
// rule strips; the image handed out still ends where its CRC matches, while the
// signature stays over the stripped bytes.
TEST_F(FirmwareTest, SignedImageKeepsZeroCrcBytes)
{
    struct Case {
        const char* what;
        Bytes image;      // 702 bytes, signed over the bytes before its trailing zeros
        int message;      // the signed length
        int handed_out;   // the image checked and sent; its CRC passes when it is whole
    };
    // A wrong CRC whose high byte is 0: putting zeros back makes nothing pass,
    // so the stripped bytes are handed out and fail their CRC.
    Bytes broken = image_with_crc([](uint8_t lo, uint8_t hi) { return hi == 0 && lo > 1; });
    broken[broken.size() - 2] ^= 1;
    const Case cases[] = {
        {"CRC high byte 0", image_with_crc([](uint8_t lo, uint8_t hi) { return hi == 0 && lo != 0; }), 701, 702},
        {"CRC 0x0000", image_with_zero_crc(), 700, 702},
        {"CRC low byte 0 only", image_with_crc([](uint8_t lo, uint8_t hi) { return lo == 0 && hi != 0; }), 702, 702},
        {"wrong CRC, high byte 0", broken, 701, 701},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.image.size(), 702u);
        Firmware fw(write("zk.hex", fwgen::signed_file(c.image)));
        ASSERT_TRUE(fw.Init());
        ASSERT_EQ(fw.MatchProduct(), ZK_R610);
        ASSERT_TRUE(fw.SignaInit());
        ASSERT_TRUE(fw.IsSigned());
        EXPECT_EQ(fw.fw_message_size, c.message);
        EXPECT_TRUE(fw.SignaVerify());
        unsigned char* out = nullptr;
        ASSERT_EQ(fw.ReadFW_Data(out), c.handed_out);
        EXPECT_EQ(memcmp(out, c.image.data(), c.handed_out), 0);
        EXPECT_EQ(fw_crc_check(out, c.handed_out), c.handed_out == int(c.image.size()));
        free(out);
    }
}

TEST_F(FirmwareTest, ReadDataFromWhereDetectionLeftTheFile)
{
    const Bytes body = fwgen::random_bytes(3000, 5);
    struct Case {
        const char* what;
        Bytes file;
        product_t product;
        size_t image_offset;  // where the image starts in the file
    };
    const Case cases[] = {
        {"device_id 2", fwgen::headered(hdr(2, 1), body), JQ_R33_16, 64},
        {"device_id 2, marker", fwgen::headered(hdr(2, 40, 0, 0xfffffffe), body), ZK_R640_C, 64},
        {"device_id 3", fwgen::headered(hdr(3, 1), body), WZ_R820, 0},
    };
    for (fwgen::Style style : {fwgen::Style::Lines16, fwgen::Style::Ragged, fwgen::Style::ShortTokens}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            Firmware fw(write("jq.hex", c.file, style));
            ASSERT_TRUE(fw.Init());
            ASSERT_EQ(fw.MatchProduct(), c.product);
            EXPECT_EQ(fw.GetJQ_Version(), "2.18.3");
            unsigned char* out = nullptr;
            int n = fw.ReadData(out);
            ASSERT_EQ(n, int(c.file.size() - c.image_offset));
            EXPECT_EQ(memcmp(out, c.file.data() + c.image_offset, n), 0);
            EXPECT_TRUE(fw_crc_check(out, n));
            free(out);
        }
    }
}

// A payload must fit the image buffer; a longer one is refused, never written past it.
TEST_F(FirmwareTest, ReadDataRefusesOversizedImage)
{
    struct Case {
        const char* what;
        Bytes file;
        int size;  // -1: refused
    };
    const size_t max = FW_IMAGE_MAX;
    const Case cases[] = {
        {"payload fills the buffer", fwgen::headered(hdr(2, 1), fwgen::random_bytes(max - 2, 1)), int(max)},
        {"payload one byte longer", fwgen::headered(hdr(2, 1), fwgen::random_bytes(max - 1, 1)), -1},
        {"whole file fills the buffer", fwgen::headered(hdr(3, 1), fwgen::random_bytes(max - 66, 1)), int(max)},
        {"whole file one byte longer", fwgen::headered(hdr(3, 1), fwgen::random_bytes(max - 65, 1)), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string p = write("jq.hex", c.file);
        Firmware fw(p);
        ASSERT_TRUE(fw.Init());
        ASSERT_NE(fw.MatchProduct(), UNKNOWN);
        take_log();
        unsigned char* out = reinterpret_cast<unsigned char*>(&fw);
        EXPECT_EQ(fw.ReadData(out), c.size);
        if (c.size < 0) {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(take_log(), FATAL + std::string("Firmware image is longer than 262144 bytes: ") + p + "\n");
        } else {
            EXPECT_TRUE(fw_crc_check(out, c.size));
            free(out);
        }
    }
}
