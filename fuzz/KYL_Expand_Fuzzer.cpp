// SPDX-License-Identifier: MIT
// Arbitrary bytes as compressed data: expansion must end expanded, damaged
// or too large for its limit, never outside its buffers.
//
// The records go through one controller kept from one input to the next, as
// the library's one-shot call on one thread takes them: a controller made for
// every input cost more than most inputs' records.  The library's call itself
// takes arbitrary bytes in the stream target.
#include <exception>

#include "KYL_Fuzz_Support.h"
#include "codec/KYL_MCP_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static T_KYL_MCP controller;
    std::size_t expanded = 0;
    try {
        for (std::span<const std::uint8_t> rest(data, size); !rest.empty() && expanded <= kyl_fuzz::Expansion_Limit;) {
            // The input ends here, so every record is whole or damaged.
            const T_KYL_Expanded_Record record = controller.Expand_Record(rest, true);
            if (record.Consumed == 0 || record.Consumed > rest.size())
                kyl_fuzz::Fail("a record framed outside the input");
            if (record.Block.size() > std::size_t(Block_Size)) kyl_fuzz::Fail("a block longer than a block");
            expanded += record.Block.size();
            rest = rest.subspan(record.Consumed);
        }
    } catch (const T_KYL_Damaged_Block&) {
        // Damaged, and reported as such.
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        kyl_fuzz::Fail("expansion ended other than expanded, damaged or too large");
    }
    return 0;
}
