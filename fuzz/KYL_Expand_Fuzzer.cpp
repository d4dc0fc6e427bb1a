// Arbitrary bytes as a compressed file: expansion must end in an expanded
// file or in the damaged-block report, never outside its buffers.
#include "KYL_Fuzz_Support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kyl_fuzz::T_Fuzz_Context& context = kyl_fuzz::Context();
    const std::string input = context.File("in.kyl");
    kyl_fuzz::Write_Bytes(input, data, size);
    try {
        context.Controller.Expand_File(input, context.File("out.exp"));
    } catch (const T_KYL_CRC_Failure&) {
        // A damaged file, reported as such: the expected end for most inputs.
    }
    return 0;
}
