// Arbitrary bytes as one record for the block codec: it frames the record or
// calls it damaged, and a record it expands is the one it framed.
#include <span>

#include "KYL_Fuzz_Support.h"
#include "codec/KYL_MCP_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static T_KYL_MCP controller;
    const std::span<const std::uint8_t> input(data, size);
    for (const bool input_ends : {false, true}) {
        try {
            const std::size_t length = T_KYL_MCP::Record_Length(input, input_ends);
            const T_KYL_Expanded_Record record = controller.Expand_Record(input, input_ends);
            if (record.Consumed != length || length > size) kyl_fuzz::Fail("a record other than the one framed");
            if (record.Block.size() > std::size_t(Block_Size) + 1) kyl_fuzz::Fail("a block longer than a block");
        } catch (const T_KYL_Damaged_Block&) {
            // Damaged, and reported as such.
        }
    }
    return 0;
}
