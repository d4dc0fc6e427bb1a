// Arbitrary bytes as compressed data: expansion must end expanded, damaged
// or too large for its limit, never outside its buffers.
#include "KYL_Fuzz_Support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kyl_fuzz::T_Bytes expanded;
    kyl_fuzz::Expand(data, size, expanded);
    return 0;
}
