/* SM3 digests for SM2 signature verification: the signer's identity digest
 * Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA) and e = SM3(Z || M). */
#include "sm3_preprocess.h"

#include <stddef.h>
#include <stdint.h>

#include <openssl/evp.h>

/* Coefficients and base point of the SM2 recommended 256-bit curve, big-endian. */
static const unsigned char sm2_a[32] = {
    0xff, 0xff, 0xff, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfc,
};
static const unsigned char sm2_b[32] = {
    0x28, 0xe9, 0xfa, 0x9e, 0x9d, 0x9f, 0x5e, 0x34, 0x4d, 0x5a, 0x9e, 0x4b, 0xcf, 0x65, 0x09, 0xa7,
    0xf3, 0x97, 0x89, 0xf5, 0x15, 0xab, 0x8f, 0x92, 0xdd, 0xbc, 0xbd, 0x41, 0x4d, 0x94, 0x0e, 0x93,
};
static const unsigned char sm2_xg[32] = {
    0x32, 0xc4, 0xae, 0x2c, 0x1f, 0x19, 0x81, 0x19, 0x5f, 0x99, 0x04, 0x46, 0x6a, 0x39, 0xc9, 0x94,
    0x8f, 0xe3, 0x0b, 0xbf, 0xf2, 0x66, 0x0b, 0xe1, 0x71, 0x5a, 0x45, 0x89, 0x33, 0x4c, 0x74, 0xc7,
};
static const unsigned char sm2_yg[32] = {
    0xbc, 0x37, 0x36, 0xa2, 0xf4, 0xf6, 0x77, 0x9c, 0x59, 0xbd, 0xce, 0xe3, 0x6b, 0x69, 0x21, 0x53,
    0xd0, 0xa9, 0x87, 0x7c, 0xc6, 0x2a, 0x47, 0x40, 0x02, 0xdf, 0x32, 0xe5, 0x21, 0x39, 0xf0, 0xa0,
};

int sm3_digest_z(const unsigned char* id, int id_len, const unsigned char* pub_key, unsigned char* z_out)
{
    /* ENTL is the ID length in bits; 64-bit so that no length can overflow it. */
    int64_t entl = (int64_t)id_len * 8;
    if (id == NULL || pub_key == NULL || z_out == NULL)
        return SM2_ERR_NULL_ARG;
    if (entl < 1 || entl > 65535)
        return SM2_ERR_ID_LEN;

    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == NULL)
        return SM2_ERR_DIGEST;
    unsigned char entl_bytes[2] = {(unsigned char)(entl >> 8), (unsigned char)entl};
    EVP_DigestInit_ex(ctx, EVP_sm3(), NULL);
    EVP_DigestUpdate(ctx, entl_bytes, sizeof(entl_bytes));
    EVP_DigestUpdate(ctx, id, (size_t)id_len);
    EVP_DigestUpdate(ctx, sm2_a, sizeof(sm2_a));
    EVP_DigestUpdate(ctx, sm2_b, sizeof(sm2_b));
    EVP_DigestUpdate(ctx, sm2_xg, sizeof(sm2_xg));
    EVP_DigestUpdate(ctx, sm2_yg, sizeof(sm2_yg));
    /* Byte 0 of the key is the uncompressed-point marker and is not part of Z. */
    EVP_DigestUpdate(ctx, pub_key + 1, 32);
    EVP_DigestUpdate(ctx, pub_key + 33, 32);
    EVP_DigestFinal_ex(ctx, z_out, NULL);
    EVP_MD_CTX_free(ctx);
    return 0;
}

int sm3_digest_with_preprocess(const unsigned char* message, int message_len, const unsigned char* id, int id_len,
                               const unsigned char* pub_key, unsigned char* e_out)
{
    unsigned char z[32];
    if (sm3_digest_z(id, id_len, pub_key, z) != 0)
        return SM2_ERR_DIGEST;
    /* A negative length or a missing message block cannot be digested. */
    if (message_len < 0 || (message == NULL && message_len > 0) || e_out == NULL)
        return SM2_ERR_DIGEST;

    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == NULL)
        return SM2_ERR_DIGEST;
    EVP_DigestInit_ex(ctx, EVP_sm3(), NULL);
    EVP_DigestUpdate(ctx, z, sizeof(z));
    if (message_len > 0)
        EVP_DigestUpdate(ctx, message, (size_t)message_len);
    EVP_DigestFinal_ex(ctx, e_out, NULL);
    EVP_MD_CTX_free(ctx);
    return 0;
}
