#include "codec/KYL_CRC_Unit.h"

#include <array>

namespace {

using T_CRC_Table = std::array<std::uint32_t, 256>;

// Entry n: eight steps from n, each shifting right by one bit and folding in
// the reflected polynomial when a 1 falls out.  Built by the compiler, so the
// tables are fixed data of the program.
constexpr T_CRC_Table Make_CRC_Table() {
    T_CRC_Table table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t value = n;
        for (int step = 0; step < 8; ++step) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0u);
        table[n] = value;
    }
    return table;
}

// Slice k holds the effect of a byte followed by k zero bytes:
// Slice[k][n] = Slice[k-1][n] run through one more zero byte.  Eight bytes
// then fold into the CRC with eight independent look-ups instead of a chain
// of eight dependent ones.
constexpr std::array<T_CRC_Table, 8> Make_Slice_Tables() {
    std::array<T_CRC_Table, 8> slices{};
    slices[0] = Make_CRC_Table();
    for (int k = 1; k < 8; ++k)
        for (std::uint32_t n = 0; n < 256; ++n)
            slices[k][n] = (slices[k - 1][n] >> 8) ^ slices[0][slices[k - 1][n] & 0xFF];
    return slices;
}

constexpr std::array<T_CRC_Table, 8> Slice = Make_Slice_Tables();
static_assert(Slice[0][1] == 0x77073096u && Slice[0][255] == 0x2D02EF8Du);

constexpr std::uint32_t Get_LE32(const std::uint8_t* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

// One table step per byte.
constexpr std::uint32_t Add_Bytes(std::uint32_t crc, const std::uint8_t* data, std::int32_t length) {
    for (std::int32_t i = 0; i < length; ++i) crc = Slice[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

// Eight bytes per step: the first four are XORed into the CRC, and every
// byte looks up the slice of the zero bytes that follow it in the group.
constexpr std::uint32_t Add_Slices(std::uint32_t crc, const std::uint8_t* data, std::int32_t length) {
    for (; length >= 8; data += 8, length -= 8) {
        const std::uint32_t low = Get_LE32(data) ^ crc;
        const std::uint32_t high = Get_LE32(data + 4);
        crc = Slice[7][low & 0xFF] ^ Slice[6][(low >> 8) & 0xFF] ^ Slice[5][(low >> 16) & 0xFF] ^ Slice[4][low >> 24] ^
              Slice[3][high & 0xFF] ^ Slice[2][(high >> 8) & 0xFF] ^ Slice[1][(high >> 16) & 0xFF] ^ Slice[0][high >> 24];
    }
    return Add_Bytes(crc, data, length);
}

// The sliced steps give the byte steps' result for every length and start.
constexpr bool Slices_Match_Bytes() {
    std::uint8_t data[67]{};
    std::uint32_t seed = 12345;
    for (auto& b : data) {
        seed = seed * 1103515245u + 12345u;
        b = std::uint8_t(seed >> 24);
    }
    for (std::int32_t start = 0; start < 3; ++start)
        for (std::int32_t length = 0; length + start <= 67; ++length)
            if (Add_Slices(0xFFFFFFFFu, data + start, length) != Add_Bytes(0xFFFFFFFFu, data + start, length)) return false;
    return true;
}
static_assert(Slices_Match_Bytes());

}  // namespace

std::uint32_t T_KYL_CRC32::Compute(const std::uint8_t* data, std::int32_t length) const {
    if (length <= 0) return 0;
    return Add_Slices(0xFFFFFFFFu, data, length) ^ 0xFFFFFFFFu;
}
