// SM3 digests and SM2 signature verification, against OpenSSL's own SM2 signer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include "catalogue.h"
#include "fwgen.h"
#include "sm2_verify.h"
#include "sm3_preprocess.h"

namespace {

const unsigned char ID[] = "1234567812345678";

std::vector<unsigned char> sm3(const std::vector<unsigned char>& data)
{
    std::vector<unsigned char> out(32);
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sm3(), nullptr), 1);
    return out;
}

std::vector<unsigned char> from_hex(const std::string& hex)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<unsigned char> bn32(const BIGNUM* v)
{
    std::vector<unsigned char> out(32);
    BN_bn2binpad(v, out.data(), 32);
    return out;
}

// The order n of the SM2 curve, big-endian.
std::array<unsigned char, 32> curve_order()
{
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    std::array<unsigned char, 32> out{};
    BN_bn2binpad(EC_GROUP_get0_order(group), out.data(), 32);
    EC_GROUP_free(group);
    return out;
}

// a + b (mod 2^256) of two big-endian 32-byte numbers; add is a small number.
std::array<unsigned char, 32> plus(std::array<unsigned char, 32> a, unsigned add)
{
    for (int i = 31; i >= 0 && add; i--) {
        unsigned v = a[i] + add;
        a[i] = static_cast<unsigned char>(v);
        add = v >> 8;
    }
    return a;
}

} // namespace

TEST(Sm3, PublishedDigests)
{
    EXPECT_EQ(sm3({'a', 'b', 'c'}),
              from_hex("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"));
    std::vector<unsigned char> abcd;
    for (int i = 0; i < 16; i++)
        abcd.insert(abcd.end(), {'a', 'b', 'c', 'd'});
    EXPECT_EQ(sm3(abcd), from_hex("debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"));
}

// Z and e computed here from the curve as the library describes it, so a wrong
// constant or a wrong order of the digest's inputs shows.
TEST(Sm3, IdentityDigestAndMessageDigest)
{
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    ASSERT_NE(group, nullptr);
    BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *xg = BN_new(), *yg = BN_new();
    ASSERT_TRUE(EC_GROUP_get_curve(group, p, a, b, nullptr));
    ASSERT_TRUE(EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), xg, yg, nullptr));

    std::vector<unsigned char> input = {0x00, 0x80};  // ENTL 128
    input.insert(input.end(), ID, ID + 16);
    for (const BIGNUM* v : {a, b, xg, yg}) {
        std::vector<unsigned char> bytes = bn32(v);
        input.insert(input.end(), bytes.begin(), bytes.end());
    }
    input.insert(input.end(), pub_key + 1, pub_key + 65);
    std::vector<unsigned char> z_expected = sm3(input);

    std::vector<unsigned char> z(32);
    ASSERT_EQ(sm3_digest_z(ID, 16, pub_key, z.data()), 0);
    EXPECT_EQ(z, z_expected);

    std::vector<unsigned char> zm = z_expected;
    zm.insert(zm.end(), {'a', 'b', 'c'});
    std::vector<unsigned char> e(32);
    const unsigned char msg[] = "abc";
    ASSERT_EQ(sm3_digest_with_preprocess(msg, 3, ID, 16, pub_key, e.data()), 0);
    EXPECT_EQ(e, sm3(zm));
    // An empty message: e = SM3(Z).
    ASSERT_EQ(sm3_digest_with_preprocess(msg, 0, ID, 16, pub_key, e.data()), 0);
    EXPECT_EQ(e, sm3(z_expected));

    for (BIGNUM* v : {p, a, b, xg, yg})
        BN_free(v);
    EC_GROUP_free(group);
}

TEST(Sm3, IdentityLengthAndNullArguments)
{
    std::vector<unsigned char> id(8192, 'x');
    unsigned char out[32];
    struct Case {
        const unsigned char* id;
        int id_len;
        const unsigned char* key;
        unsigned char* out;
        int z_code;
    };
    const Case cases[] = {
        {id.data(), 0, pub_key, out, SM2_ERR_ID_LEN},
        {id.data(), 8192, pub_key, out, SM2_ERR_ID_LEN},  // ENTL 65536
        {id.data(), -1, pub_key, out, SM2_ERR_ID_LEN},
        {id.data(), 0x20000000, pub_key, out, SM2_ERR_ID_LEN},  // 8x overflows 32 bits
        {id.data(), 8191, pub_key, out, 0},  // ENTL 65528, the longest
        {id.data(), 1, pub_key, out, 0},
        {nullptr, 16, pub_key, out, SM2_ERR_NULL_ARG},
        {id.data(), 16, nullptr, out, SM2_ERR_NULL_ARG},
        {id.data(), 16, pub_key, nullptr, SM2_ERR_NULL_ARG},
    };
    unsigned char sig[64] = {1};
    for (const Case& c : cases) {
        EXPECT_EQ(sm3_digest_z(c.id, c.id_len, c.key, c.out), c.z_code) << c.id_len;
        if (c.z_code != 0 && c.out != nullptr) {
            EXPECT_EQ(sm3_digest_with_preprocess(ID, 3, c.id, c.id_len, c.key, out), SM2_ERR_DIGEST);
            EXPECT_EQ(sm2_verify_sig(ID, 3, c.id, c.id_len, c.key, sig), SM2_ERR_DIGEST);
        }
    }
}

// Every signature of OpenSSL's signer verifies, over random messages and keys,
// and each kind of alteration is refused with its code.
TEST(Sm2Verify, AcceptsOpenSslSignaturesAndRefusesAlterations)
{
    std::mt19937 gen(7);
    std::vector<EVP_PKEY*> keys = {fwgen::release_key()};
    for (int i = 0; i < 5; i++)
        keys.push_back(fwgen::new_key());

    const int rounds = 240;
    for (int round = 0; round < rounds; round++) {
        EVP_PKEY* key = keys[round % keys.size()];
        std::array<uint8_t, 65> pk = fwgen::public_key(key);
        // Mostly short messages, a few of every length up to a full data region.
        size_t len;
        if (round % 40 == 39)
            len = round == rounds - 1 ? 0x40000 : gen() % 0x40001;
        else
            len = gen() % 300;
        if (round == 0)
            len = 0;
        std::vector<uint8_t> msg = fwgen::random_bytes(len, static_cast<uint32_t>(round));
        std::array<uint8_t, 64> sig = fwgen::sign(msg.data(), len, key);
        int n = static_cast<int>(len);
        ASSERT_EQ(sm2_verify_sig(msg.data(), n, ID, 16, pk.data(), sig.data()), 0) << "round " << round;

        if (round % 6 != 0)
            continue;
        // One flipped bit each: in the message, in r, in s, in X or Y of the key.
        // Bits of r and s below the top 64 keep them below n.
        unsigned bit = gen() % 8;
        if (len > 0) {
            std::vector<uint8_t> m2 = msg;
            m2[gen() % len] ^= static_cast<uint8_t>(1u << bit);
            EXPECT_EQ(sm2_verify_sig(m2.data(), n, ID, 16, pk.data(), sig.data()), SM2_ERR_VERIFY);
        }
        for (size_t at : {size_t(8) + gen() % 24, size_t(40) + gen() % 24}) {
            std::array<uint8_t, 64> s2 = sig;
            s2[at] ^= static_cast<uint8_t>(1u << bit);
            EXPECT_EQ(sm2_verify_sig(msg.data(), n, ID, 16, pk.data(), s2.data()), SM2_ERR_VERIFY) << at;
        }
        std::array<uint8_t, 65> k2 = pk;
        k2[1 + gen() % 64] ^= static_cast<uint8_t>(1u << bit);
        EXPECT_EQ(sm2_verify_sig(msg.data(), n, ID, 16, k2.data(), sig.data()), SM2_ERR_VERIFY);
        // Another ID is another signer.
        EXPECT_EQ(sm2_verify_sig(msg.data(), n, ID, 15, pk.data(), sig.data()), SM2_ERR_VERIFY);
        // Byte 0 of the key is never read.
        std::array<uint8_t, 65> k3 = pk;
        k3[0] = 0x02;
        EXPECT_EQ(sm2_verify_sig(msg.data(), n, ID, 16, k3.data(), sig.data()), 0);
    }
    for (size_t i = 1; i < keys.size(); i++)
        EVP_PKEY_free(keys[i]);
}

TEST(Sm2Verify, SignatureRange)
{
    const unsigned char msg[] = "range";
    std::array<uint8_t, 64> good = fwgen::sign(msg, 5, fwgen::release_key());
    std::array<unsigned char, 32> r{}, s{};
    memcpy(r.data(), good.data(), 32);
    memcpy(s.data(), good.data() + 32, 32);
    std::array<unsigned char, 32> zero{}, n = curve_order(), ones{};
    ones.fill(0xff);

    // s = n - r makes t = r + s mod n zero.
    BIGNUM* bn_n = BN_bin2bn(n.data(), 32, nullptr);
    BIGNUM* bn_r = BN_bin2bn(r.data(), 32, nullptr);
    BIGNUM* diff = BN_new();
    BN_sub(diff, bn_n, bn_r);
    std::array<unsigned char, 32> n_minus_r{};
    BN_bn2binpad(diff, n_minus_r.data(), 32);
    BN_free(bn_n);
    BN_free(bn_r);
    BN_free(diff);

    std::array<unsigned char, 32> n_minus_1 = n;
    n_minus_1[31]--;  // n ends in 0x23

    // A key that is no point of the curve is only looked at after the range tests.
    std::array<unsigned char, 65> off_curve{};
    memcpy(off_curve.data(), pub_key, 65);
    off_curve[64] ^= 1;

    struct Case {
        const char* what;
        std::array<unsigned char, 32> r, s;
        int code;
        const unsigned char* key = pub_key;
    };
    const Case cases[] = {
        {"valid", r, s, 0},
        {"r = 0", zero, s, SM2_ERR_SIG_RANGE},
        {"r = n", n, s, SM2_ERR_SIG_RANGE},
        {"r = n + 1", plus(n, 1), s, SM2_ERR_SIG_RANGE},
        {"r = 2^256 - 1", ones, s, SM2_ERR_SIG_RANGE},
        {"s = 0", r, zero, SM2_ERR_SIG_RANGE},
        {"s = n", r, n, SM2_ERR_SIG_RANGE},
        {"s = n + 1", r, plus(n, 1), SM2_ERR_SIG_RANGE},
        {"r and s = 0", zero, zero, SM2_ERR_SIG_RANGE},
        {"r + s = n", r, n_minus_r, SM2_ERR_VERIFY},
        {"r = n - 1", n_minus_1, s, SM2_ERR_VERIFY},  // the largest r in range
        {"r = 0, key off the curve", zero, s, SM2_ERR_SIG_RANGE, off_curve.data()},
        {"s = n, key off the curve", r, n, SM2_ERR_SIG_RANGE, off_curve.data()},
    };
    for (const Case& c : cases) {
        unsigned char sig[64];
        memcpy(sig, c.r.data(), 32);
        memcpy(sig + 32, c.s.data(), 32);
        EXPECT_EQ(sm2_verify_sig(msg, 5, ID, 16, c.key, sig), c.code) << c.what;
    }
}
