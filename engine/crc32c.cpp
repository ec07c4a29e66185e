#include "engine/crc32c.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace norvel::engine {

namespace {

constexpr std::uint32_t kPolynomial = 0x82f63b78;  // reflected

// kTables[k][b]: the register after byte b and then k zero bytes, so that
// eight bytes are folded in with eight independent look-ups (slicing-by-8).
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables tables{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t reg = b;
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (kPolynomial & (0u - (reg & 1u)));
    tables[0][b] = reg;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b) {
      const std::uint32_t before = tables[k - 1][b];
      tables[k][b] = (before >> 8) ^ tables[0][before & 0xffu];
    }
  }
  return tables;
}

constexpr Tables kTables = make_tables();

// The register (no inversions) after `bytes` more bytes.
std::uint32_t fold_portable(std::uint32_t reg, const unsigned char* at, std::size_t bytes) {
  while (bytes >= 8) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);  // the first byte lowest
    word ^= reg;
    reg = kTables[7][word & 0xff] ^ kTables[6][(word >> 8) & 0xff] ^ kTables[5][(word >> 16) & 0xff] ^
          kTables[4][(word >> 24) & 0xff] ^ kTables[3][(word >> 32) & 0xff] ^ kTables[2][(word >> 40) & 0xff] ^
          kTables[1][(word >> 48) & 0xff] ^ kTables[0][word >> 56];
    at += 8;
    bytes -= 8;
  }
  while (bytes-- > 0) reg = (reg >> 8) ^ kTables[0][(reg ^ *at++) & 0xffu];
  return reg;
}

#if defined(__x86_64__)

// The three streams each take a block of this many bytes. The `crc32`
// instruction has a latency of three cycles and a throughput of one, so a
// single stream would use a third of it. A block's register is moved past
// the blocks after it by a linear map (appending zeros to a CRC is linear
// over GF(2)): `Shift` tabulates that map for one block's length.
constexpr std::size_t kBlock = 4096;

struct Shift {
  // table[k][b]: the register b << 8k moved past kBlock zero bytes.
  std::array<std::array<std::uint32_t, 256>, 4> table{};

  Shift() {
    std::array<std::uint32_t, 32> column{};  // the image of each register bit
    static const unsigned char zeros[kBlock] = {};
    for (int bit = 0; bit < 32; ++bit) column[bit] = fold_portable(std::uint32_t{1} << bit, zeros, kBlock);
    for (int k = 0; k < 4; ++k) {
      for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t image = 0;
        for (int bit = 0; bit < 8; ++bit) {
          if ((b >> bit) & 1u) image ^= column[8 * k + bit];
        }
        table[k][b] = image;
      }
    }
  }

  std::uint32_t operator()(std::uint32_t reg) const {
    return table[0][reg & 0xff] ^ table[1][(reg >> 8) & 0xff] ^ table[2][(reg >> 16) & 0xff] ^ table[3][reg >> 24];
  }
};

[[gnu::target("sse4.2")]] std::uint32_t fold_hardware(std::uint32_t reg, const unsigned char* at, std::size_t bytes) {
  static const Shift shift;
  while (bytes >= 3 * kBlock) {
    std::uint64_t a = reg, b = 0, c = 0;
    for (std::size_t i = 0; i < kBlock; i += 8) {
      std::uint64_t x, y, z;
      std::memcpy(&x, at + i, 8);
      std::memcpy(&y, at + kBlock + i, 8);
      std::memcpy(&z, at + 2 * kBlock + i, 8);
      a = _mm_crc32_u64(a, x);
      b = _mm_crc32_u64(b, y);
      c = _mm_crc32_u64(c, z);
    }
    // reg(A B) = shift(reg(A)) ^ reg_from_zero(B), block by block.
    reg = shift(shift(static_cast<std::uint32_t>(a)) ^ static_cast<std::uint32_t>(b)) ^ static_cast<std::uint32_t>(c);
    at += 3 * kBlock;
    bytes -= 3 * kBlock;
  }
  std::uint64_t wide = reg;
  while (bytes >= 8) {
    std::uint64_t x;
    std::memcpy(&x, at, 8);
    wide = _mm_crc32_u64(wide, x);
    at += 8;
    bytes -= 8;
  }
  reg = static_cast<std::uint32_t>(wide);
  while (bytes-- > 0) reg = _mm_crc32_u8(reg, *at++);
  return reg;
}

bool has_hardware_crc() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}

#endif

}  // namespace

std::uint32_t crc32c_portable(const void* data, std::size_t bytes, std::uint32_t crc) {
  return ~fold_portable(~crc, static_cast<const unsigned char*>(data), bytes);
}

std::uint32_t crc32c(const void* data, std::size_t bytes, std::uint32_t crc) {
#if defined(__x86_64__)
  if (has_hardware_crc()) return ~fold_hardware(~crc, static_cast<const unsigned char*>(data), bytes);
#endif
  return crc32c_portable(data, bytes, crc);
}

}  // namespace norvel::engine
