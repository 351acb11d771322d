// SM3 digests for SM2 signature verification: the identity digest Z and e = SM3(Z || M).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define SM2_ERR_NULL_ARG 0x1000
#define SM2_ERR_ID_LEN 0x1001
#define SM2_ERR_DIGEST 0x1003
#define SM2_ERR_ALLOC 0x1004
#define SM2_ERR_SIG_RANGE 0x1006
#define SM2_ERR_VERIFY 0x1007

int sm3_digest_z(const unsigned char* id, int id_len, const unsigned char* pub_key, unsigned char* z_out);
int sm3_digest_with_preprocess(const unsigned char* message, int message_len, const unsigned char* id, int id_len,
                               const unsigned char* pub_key, unsigned char* e_out);

#ifdef __cplusplus
}
#endif
