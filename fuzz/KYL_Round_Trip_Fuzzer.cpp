// Arbitrary bytes compressed and expanded again must come back unchanged.
#include "KYL_Fuzz_Support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kyl_fuzz::T_Bytes compressed_buffer, expanded_buffer;
    const kyl_fuzz::T_Result compressed = kyl_fuzz::Compress(data, size, compressed_buffer);
    if (compressed.Status != KYL_OK) kyl_fuzz::Fail("compression failed");
    const kyl_fuzz::T_Result expanded =
        kyl_fuzz::Expand(compressed.Bytes.data(), compressed.Bytes.size(), expanded_buffer);
    if (expanded.Status != KYL_OK || !kyl_fuzz::Same(expanded.Bytes, {data, size}))
        kyl_fuzz::Fail("the expansion differs from the original");
    return 0;
}
