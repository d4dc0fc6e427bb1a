// Arbitrary bytes compressed and expanded again must come back unchanged.
#include "KYL_Fuzz_Support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kyl_fuzz::T_Fuzz_Context& context = kyl_fuzz::Context();
    const std::string original = context.File("in.bin");
    const std::string compressed = context.File("in.kyl");
    const std::string expanded = context.File("in.exp");
    kyl_fuzz::Write_Bytes(original, data, size);
    context.Controller.Compress_File(original, compressed, 1);
    context.Controller.Expand_File(compressed, expanded);
    const std::vector<std::uint8_t> back = kyl_fuzz::Read_Bytes(expanded);
    if (back.size() != size || !std::equal(back.begin(), back.end(), data)) std::abort();
    return 0;
}
