// Arbitrary bytes as compressed data: expansion must end expanded, damaged
// or too large for its limit, never outside its buffers.
#include "KYL_Fuzz_Support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kyl_fuzz::Expand(data, size);
    return 0;
}
