/* SM2 signature verification over SM3 (GB/T 32918.2) on the SM2 recommended
 * curve. libcrypto supplies big numbers, the curve and its points; the
 * verification steps are carried out here. */
#include "sm2_verify.h"

#include <stddef.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

int sm2_verify_sig(const unsigned char* message, int message_len, const unsigned char* id, int id_len,
                   const unsigned char* pub_key, const unsigned char* signature)
{
    unsigned char digest[32];
    int result = sm3_digest_with_preprocess(message, message_len, id, id_len, pub_key, digest);
    if (result != 0)
        return result;
    /* Without a signature there is nothing to convert. */
    if (signature == NULL)
        return SM2_ERR_VERIFY;

    const unsigned char* xa_bytes = pub_key + 1;
    const unsigned char* ya_bytes = pub_key + 33;

    BN_CTX* ctx = NULL;
    EC_GROUP* group = NULL;
    EC_POINT* pa = NULL;
    EC_POINT* p1 = NULL;
    BIGNUM *e, *r, *s, *t, *xa, *ya, *x1, *y1, *big_r = NULL;

    result = SM2_ERR_ALLOC;
    ctx = BN_CTX_new();
    if (ctx == NULL)
        goto done;
    BN_CTX_start(ctx);
    e = BN_CTX_get(ctx);
    r = BN_CTX_get(ctx);
    s = BN_CTX_get(ctx);
    t = BN_CTX_get(ctx);
    xa = BN_CTX_get(ctx);
    ya = BN_CTX_get(ctx);
    x1 = BN_CTX_get(ctx);
    y1 = BN_CTX_get(ctx);
    /* BN_CTX_get fails for good once it fails, so the last one covers the rest. */
    big_r = BN_CTX_get(ctx);
    if (big_r == NULL)
        goto done;
    group = EC_GROUP_new_by_curve_name(NID_sm2);
    if (group == NULL)
        goto done;
    pa = EC_POINT_new(group);
    p1 = EC_POINT_new(group);
    if (pa == NULL || p1 == NULL)
        goto done;

    result = SM2_ERR_VERIFY;
    if (BN_bin2bn(digest, 32, e) == NULL || BN_bin2bn(signature, 32, r) == NULL ||
        BN_bin2bn(signature + 32, 32, s) == NULL || BN_bin2bn(xa_bytes, 32, xa) == NULL ||
        BN_bin2bn(ya_bytes, 32, ya) == NULL)
        goto done;
    const BIGNUM* n = EC_GROUP_get0_order(group);
    const EC_POINT* g = EC_GROUP_get0_generator(group);
    if (n == NULL || g == NULL)
        goto done;

    /* r and s must lie in [1, n-1]; r is tested first. */
    if (BN_is_zero(r) || BN_cmp(r, n) >= 0) {
        result = SM2_ERR_SIG_RANGE;
        goto done;
    }
    if (BN_is_zero(s) || BN_cmp(s, n) >= 0) {
        result = SM2_ERR_SIG_RANGE;
        goto done;
    }

    /* t = (r + s) mod n, which must not be 0. */
    if (!BN_mod_add(t, r, s, n, ctx) || BN_is_zero(t))
        goto done;

    /* (x1, y1) = s*G + t*PA. One combined multiplication shares the doublings
     * of both terms and treats the public scalars without the slower
     * constant-time ladder that a lone multiplication gets. */
    if (!EC_POINT_set_affine_coordinates(group, pa, xa, ya, ctx))
        goto done;
    if (!EC_POINT_mul(group, p1, s, pa, t, ctx))
        goto done;
    if (!EC_POINT_get_affine_coordinates(group, p1, x1, y1, ctx))
        goto done;

    /* R = (e + x1) mod n must equal r. */
    if (!BN_mod_add(big_r, e, x1, n, ctx))
        goto done;
    result = BN_cmp(big_r, r) == 0 ? 0 : SM2_ERR_VERIFY;

done:
    EC_POINT_free(p1);
    EC_POINT_free(pa);
    EC_GROUP_free(group);
    if (ctx != NULL) {
        BN_CTX_end(ctx);
        BN_CTX_free(ctx);
    }
    return result;
}
