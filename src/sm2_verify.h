// SM2 signature verification over SM3.
#pragma once

#include "sm3_preprocess.h"

#ifdef __cplusplus
extern "C" {
#endif

// 0 when signature (r || s, 64 bytes) is a valid SM2 signature of message by the
// holder of pub_key (65 bytes, uncompressed point) with identity id; else an SM2_ERR_ code.
int sm2_verify_sig(const unsigned char* message, int message_len, const unsigned char* id, int id_len,
                   const unsigned char* pub_key, const unsigned char* signature);

#ifdef __cplusplus
}
#endif
