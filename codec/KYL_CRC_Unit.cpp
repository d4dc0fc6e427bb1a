#include "codec/KYL_CRC_Unit.h"

#include <array>

namespace {

// Entry n: eight steps from n, each shifting right by one bit and folding in
// the reflected polynomial when a 1 falls out.  Built by the compiler, so the
// table is fixed data of the program.
constexpr std::array<std::uint32_t, 256> Make_CRC_Table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t value = n;
        for (int step = 0; step < 8; ++step) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0u);
        table[n] = value;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> CRC_Table = Make_CRC_Table();
static_assert(CRC_Table[1] == 0x77073096u && CRC_Table[255] == 0x2D02EF8Du);

}  // namespace

std::uint32_t T_KYL_CRC32::Compute(const std::uint8_t* data, std::int32_t length) const {
    if (length <= 0) return 0;
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::int32_t i = 0; i < length; ++i) crc = CRC_Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}
