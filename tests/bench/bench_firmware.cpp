// Benchmark: a largest signed headerless file (0x40000 + 64 bytes) read,
// verified and CRC-checked through Firmware, and the signature check alone next
// to OpenSSL's own SM2 verification of the same bytes.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "catalogue.h"
#include "firmware.h"
#include "firmware_scpu_share_misc_crc16.h"
#include "fwgen.h"
#include "sm2_verify.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename F>
double best_of(int runs, F f)
{
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        Clock::time_point start = Clock::now();
        f();
        best = std::min(best, ms_since(start));
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    char tmpl[] = "/tmp/qvfw-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    std::string path = std::string(tmpl) + "/zk.hex";

    // A full data region: image of 0x40000 bytes, its last byte non-zero.
    fwgen::Bytes image;
    for (uint32_t seed = 1;; seed++) {
        image = fwgen::headerless(fwgen::zk_body(fwgen::REGION - 2, 30, seed));
        if (image.back() != 0)
            break;
    }
    fwgen::Bytes file = fwgen::signed_file(image);
    if (!fwgen::write(path, file))
        return 1;

    bool ok = true;
    double whole = best_of(runs, [&] {
        Firmware fw(path);
        ok = ok && fw.Init() && fw.MatchProduct() == ZK_R610_CD && fw.SignaInit() && fw.IsSigned() &&
             fw.SignaVerify();
        unsigned char* out = nullptr;
        int n = fw.ReadFW_Data(out);
        ok = ok && n == FW_IMAGE_MAX && fw_crc_check(out, static_cast<uint32_t>(n));
        free(out);
    });

    const unsigned char* sig = file.data() + fwgen::REGION;
    double ours = best_of(runs, [&] {
        ok = ok && sm2_verify_sig(image.data(), FW_IMAGE_MAX, user_id, USER_ID_LEN, pub_key, sig) == 0;
    });
    double openssl = best_of(runs, [&] {
        ok = ok && fwgen::openssl_verify(image.data(), image.size(), sig, fwgen::release_key());
    });

    // The curve arithmetic alone: a signature over a 16-byte message.
    const unsigned char shortmsg[16] = {1, 2, 3};
    std::array<uint8_t, 64> short_sig = fwgen::sign(shortmsg, sizeof(shortmsg), fwgen::release_key());
    double ours_short = best_of(runs, [&] {
        ok = ok && sm2_verify_sig(shortmsg, 16, user_id, USER_ID_LEN, pub_key, short_sig.data()) == 0;
    });
    double openssl_short = best_of(runs, [&] {
        ok = ok && fwgen::openssl_verify(shortmsg, 16, short_sig.data(), fwgen::release_key());
    });

    std::filesystem::remove_all(tmpl);
    printf("signed file of %zu bytes (%zu text bytes), best of %d runs\n", file.size(),
           fwgen::text(file).size(), runs);
    printf("whole file (Init .. SignaVerify, ReadFW_Data, fw_crc_check): %8.3f ms\n", whole);
    printf("sm2_verify_sig over 0x40000 bytes:                          %8.3f ms\n", ours);
    printf("OpenSSL EVP_DigestVerify over the same bytes:               %8.3f ms\n", openssl);
    printf("ratio sm2_verify_sig / OpenSSL:                             %8.3f\n", ours / openssl);
    printf("sm2_verify_sig over 16 bytes:                               %8.3f ms\n", ours_short);
    printf("OpenSSL EVP_DigestVerify over 16 bytes:                     %8.3f ms\n", openssl_short);
    printf("ratio sm2_verify_sig / OpenSSL (16 bytes):                  %8.3f\n", ours_short / openssl_short);
    if (!ok) {
        printf("FAILED: a step of the run did not pass\n");
        return 1;
    }
    return 0;
}
