// libFuzzer target: arbitrary bytes as a firmware file, through every step the
// engine takes: Init, MatchProduct, the signed headerless path, the image
// readers and the CRC check.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "firmware.h"
#include "firmware_scpu_share_misc_crc16.h"

namespace {
std::string input_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = getenv("TMPDIR");
    input_path = std::string(tmp != nullptr ? tmp : "/tmp") + "/qvfw-fuzz-" + std::to_string(getpid()) + ".hex";
    // The firmware unit reports its refusals on standard error; keep them out
    // of the fuzzer's own output, which keeps the original stream.
    FILE* quiet = fopen("/dev/null", "w");
    if (quiet != nullptr)
        stderr = quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen(input_path.c_str(), "w");
    if (f == nullptr)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);

    {
        Firmware fw(input_path);
        if (fw.Init()) {
            product_t product = fw.MatchProduct();
            unsigned char* image = nullptr;
            int n = -1;
            if (product == ZK_R610 || product == ZK_R610_CD) {
                if (fw.SignaInit()) {
                    if (fw.IsSigned())
                        fw.SignaVerify();
                    n = fw.ReadFW_Data(image);
                    // A second copy must not disturb the first.
                    unsigned char* again = nullptr;
                    if (fw.ReadFW_Data(again) != n)
                        abort();
                    free(again);
                }
            } else if (product != UNKNOWN) {
                n = fw.ReadData(image);
            }
            if (n >= 0) {
                if (image == nullptr || n > FW_IMAGE_MAX)
                    abort();
                fw_crc_check(image, static_cast<uint32_t>(n));
            } else if (image != nullptr) {
                abort();
            }
            free(image);
        }
    }
    unlink(input_path.c_str());
    return 0;
}
