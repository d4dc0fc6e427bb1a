// SPDX-License-Identifier: MIT
// Arbitrary bytes as one record for the block codec: it frames the record or
// calls it damaged, and a record it expands is the one it framed.
#include <span>

#include "KYL_Fuzz_Support.h"
#include "codec/KYL_MCP_Unit.h"

namespace {

// The framing alone: a length within the input, or more input asked for.
void Check_Framing(std::span<const std::uint8_t> input, bool input_ends) {
    try {
        const std::size_t length = T_KYL_MCP::Record_Length(input, input_ends);
        if (length > input.size() || (input_ends && length == 0 && !input.empty()))
            kyl_fuzz::Fail("a record framed outside the input");
    } catch (const T_KYL_Damaged_Block&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static T_KYL_MCP controller;
    const std::span<const std::uint8_t> input(data, size);
    Check_Framing(input, false);
    Check_Framing(input, true);
    try {
        const std::size_t length = T_KYL_MCP::Record_Length(input, true);
        const T_KYL_Expanded_Record record = controller.Expand_Record(input, true);
        if (record.Consumed != length) kyl_fuzz::Fail("a record other than the one framed");
        if (record.Block.size() > std::size_t(Max_Transformed_Length)) kyl_fuzz::Fail("a block longer than a block");
    } catch (const T_KYL_Damaged_Block&) {
        // Damaged, and reported as such.
    }
    return 0;
}
