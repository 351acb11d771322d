// fwgen: firmware files of every layout for tests.
#include "fwgen.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/pem.h>

namespace fwgen {

namespace {

const unsigned char SIGNER_ID[] = "1234567812345678";
constexpr size_t SIGNER_ID_LEN = 16;

uint16_t crc16(const uint8_t* data, size_t n)
{
    // Bit by bit, independent of the tool's table.
    uint16_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int b = 0; b < 8; b++)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

void put_word(Bytes& out, size_t offset, uint32_t w)
{
    for (int i = 0; i < 4; i++)
        out[offset + i] = static_cast<uint8_t>(w >> (8 * i));
}

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "fwgen: %s failed\n", what);
    abort();
}

// An MD context set up for SM2 with the signer ID; sign or verify.
EVP_MD_CTX* sm2_md_ctx(EVP_PKEY* key, bool signing)
{
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
    if (md == nullptr || pctx == nullptr)
        fail("EVP context");
    if (EVP_PKEY_CTX_set1_id(pctx, SIGNER_ID, SIGNER_ID_LEN) <= 0)
        fail("EVP_PKEY_CTX_set1_id");
    EVP_MD_CTX_set_pkey_ctx(md, pctx);  // pctx stays ours to free (free_md_ctx)
    int ok = signing ? EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, key)
                     : EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, key);
    if (ok <= 0)
        fail("EVP_Digest*Init");
    return md;
}

void free_md_ctx(EVP_MD_CTX* md)
{
    EVP_PKEY_CTX* pctx = EVP_MD_CTX_get_pkey_ctx(md);
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
}

} // namespace

Bytes with_crc(Bytes body, Crc crc)
{
    uint16_t value = crc16(body.data(), body.size());
    if (crc == Crc::Bad)
        value ^= 1;
    body.push_back(static_cast<uint8_t>(value & 0xff));
    body.push_back(static_cast<uint8_t>(value >> 8));
    return body;
}

Bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<uint8_t>(gen());
    return out;
}

Bytes header(const Header& h)
{
    Bytes out(64, 0);
    put_word(out, 0, h.magic);
    put_word(out, 4, h.vendor_id | (static_cast<uint32_t>(h.model_code) << 16));
    put_word(out, 8, h.device_id);
    put_word(out, 12, h.model_variant);
    put_word(out, 16, h.version_word);
    put_word(out, 32, h.marker);
    return out;
}

Bytes headered(const Header& h, const Bytes& body, Crc crc)
{
    Bytes out = header(h);
    if (h.device_id == 3) {
        out.insert(out.end(), body.begin(), body.end());
        return with_crc(out, crc);
    }
    Bytes payload = with_crc(body, crc);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes headerless(const Bytes& body, Crc crc)
{
    return with_crc(body, crc);
}

Bytes zk_body(size_t n, uint32_t word4, uint32_t seed)
{
    Bytes out = random_bytes(n < 20 ? 20 : n, seed);
    out[0] = 0x5a;  // never the header magic
    put_word(out, 16, word4);
    out.resize(n < 20 ? 20 : n);
    return out;
}

Bytes signed_file(const Bytes& image, EVP_PKEY* key)
{
    if (image.size() > REGION)
        fail("signed_file: image longer than the data region");
    size_t message = image.size();
    while (message > 0 && image[message - 1] == 0)
        message--;
    std::array<uint8_t, 64> sig = sign(image.data(), message, key != nullptr ? key : release_key());
    Bytes out = image;
    out.resize(REGION, 0);
    out.insert(out.end(), sig.begin(), sig.end());
    return out;
}

EVP_PKEY* release_key()
{
    static EVP_PKEY* key = [] {
        std::string path = std::string(QVFW_TESTS_DIR) + "/fixtures/release_key.pem";
        FILE* f = fopen(path.c_str(), "r");
        if (f == nullptr)
            fail("opening tests/fixtures/release_key.pem");
        EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        fclose(f);
        if (k == nullptr)
            fail("reading the release key");
        return k;
    }();
    return key;
}

EVP_PKEY* new_key()
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* key = nullptr;
    if (ctx == nullptr || EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_generate(ctx, &key) <= 0)
        fail("SM2 key generation");
    EVP_PKEY_CTX_free(ctx);
    return key;
}

std::array<uint8_t, 65> public_key(EVP_PKEY* key)
{
    std::array<uint8_t, 65> out{};
    size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &len) <= 0 ||
        len != out.size())
        fail("public key export");
    return out;
}

std::array<uint8_t, 64> sign(const uint8_t* message, size_t length, EVP_PKEY* key)
{
    EVP_MD_CTX* md = sm2_md_ctx(key, true);
    unsigned char der[128];
    size_t der_len = sizeof(der);
    static const uint8_t empty = 0;
    if (EVP_DigestSign(md, der, &der_len, length ? message : &empty, length) <= 0)
        fail("EVP_DigestSign");
    free_md_ctx(md);

    const unsigned char* p = der;
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_len));
    if (sig == nullptr)
        fail("signature decoding");
    std::array<uint8_t, 64> out{};
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), out.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), out.data() + 32, 32);
    ECDSA_SIG_free(sig);
    return out;
}

bool openssl_verify(const uint8_t* message, size_t length, const uint8_t* signature, EVP_PKEY* key)
{
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
    if (sig == nullptr || r == nullptr || s == nullptr || !ECDSA_SIG_set0(sig, r, s))
        fail("signature encoding");
    unsigned char* der = nullptr;
    int der_len = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (der_len <= 0)
        fail("signature encoding");

    EVP_MD_CTX* md = sm2_md_ctx(key, false);
    static const uint8_t empty = 0;
    int ok = EVP_DigestVerify(md, der, static_cast<size_t>(der_len), length ? message : &empty, length);
    free_md_ctx(md);
    OPENSSL_free(der);
    return ok == 1;
}

std::string text(const Bytes& bytes, Style style)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3 + 16);
    std::mt19937 gen(12345);
    size_t on_line = 0;
    size_t line_len = 16;
    for (size_t i = 0; i < bytes.size(); i++) {
        uint8_t b = bytes[i];
        if (style == Style::ShortTokens && b < 0x10) {
            out += digits[b];
        } else {
            out += digits[b >> 4];
            out += digits[b & 0xf];
        }
        on_line++;
        bool last = i + 1 == bytes.size();
        switch (style) {
        case Style::OneLine:
            out += last ? "\n" : " ";
            break;
        case Style::CrLf:
            out += (on_line == 16 || last) ? "\r\n" : " ";
            if (on_line == 16)
                on_line = 0;
            break;
        case Style::Ragged:
            if (on_line >= line_len || last) {
                static const char* const ends[] = {"\n", "\r\n", "\n\n", " \n", "\r\n\r\n"};
                out += ends[gen() % 5];
                on_line = 0;
                line_len = 1 + gen() % 40;
            } else {
                out.append(1 + gen() % 3, ' ');
            }
            break;
        default:
            out += (on_line == 16 || last) ? "\n" : " ";
            if (on_line == 16)
                on_line = 0;
            break;
        }
    }
    return out;
}

bool write(const std::string& path, const Bytes& bytes, Style style)
{
    std::string t = text(bytes, style);
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = fwrite(t.data(), 1, t.size(), f) == t.size();
    return fclose(f) == 0 && ok;
}

} // namespace fwgen
