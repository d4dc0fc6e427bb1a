// SPDX-License-Identifier: MIT
// Arbitrary bytes compressed and expanded again must come back unchanged.
//
// The blocks go through one controller kept from one input to the next, as
// the library's one-shot calls on one thread take them; a controller made
// for every input would cost more than the blocks of a small one.  The
// library's calls themselves are fuzzed by the stream and threaded targets.
#include <exception>

#include "KYL_Fuzz_Support.h"
#include "codec/KYL_MCP_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static T_KYL_MCP controller;
    static kyl_fuzz::T_Bytes compressed, expanded;
    const std::span<const std::uint8_t> input(data, size);
    compressed.clear();
    expanded.clear();
    try {
        for (std::size_t at = 0; at < size; at += std::size_t(Block_Size)) {
            const T_KYL_Record record =
                controller.Compress_Block(input.subspan(at, std::min(size - at, std::size_t(Block_Size))));
            compressed.insert(compressed.end(), record.Header.begin(), record.Header.end());
            compressed.insert(compressed.end(), record.Payload.begin(), record.Payload.end());
        }
        for (std::span<const std::uint8_t> rest = compressed; !rest.empty();) {
            const T_KYL_Expanded_Record record = controller.Expand_Record(rest, true);
            expanded.insert(expanded.end(), record.Block.begin(), record.Block.end());
            rest = rest.subspan(record.Consumed);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        kyl_fuzz::Fail("the codec threw on its own output");
    }
    if (!kyl_fuzz::Same(expanded, input)) kyl_fuzz::Fail("the expansion differs from the original");
    return 0;
}
