// Arbitrary bytes compressed and expanded again must come back unchanged.
#include <algorithm>

#include "KYL_Fuzz_Support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kyl_fuzz::T_Result compressed = kyl_fuzz::Compress(data, size);
    if (compressed.Status != KYL_OK) kyl_fuzz::Fail("compression failed");
    const kyl_fuzz::T_Result expanded = kyl_fuzz::Expand(compressed.Bytes.data(), compressed.Bytes.size());
    if (expanded.Status != KYL_OK || expanded.Bytes.size() != size ||
        !std::equal(expanded.Bytes.begin(), expanded.Bytes.end(), data))
        kyl_fuzz::Fail("the expansion differs from the original");
    return 0;
}
