#pragma once
// The delta container shared by the publisher's encoder and the setup
// program's decoder. A delta rebuilds one executable (the target) from
// another (the base) that the client already has:
//
//   "VRDELTA1"          8 bytes
//   base size           unsigned 64-bit little-endian
//   target size         unsigned 64-bit little-endian
//   start               signed 64-bit little-endian: the first base position
//   a zlib stream of records, nothing after it
//
// Each record is three LEB128 numbers, then bytes:
//   add     count of bytes taken from the base at the current base position,
//           each added (mod 256) to the next byte of the record;
//   extra   count of literal bytes that follow the added ones;
//   seek    signed (zig-zag) move of the base position after the record.
// The base position starts at `start` and moves past the added bytes. A record
// always produces at least one byte, so a delta cannot spin without output.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace virelo::delta {

inline constexpr std::string_view magic = "VRDELTA1";
inline constexpr std::size_t header_size = 32;

// Longest LEB128 number of 64 bits.
inline constexpr std::size_t max_number_bytes = 10;

// Base positions stay within this magnitude, so no sum can overflow.
inline constexpr std::int64_t max_position = std::int64_t{1} << 62;

inline constexpr std::uint64_t zigzag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}
inline constexpr std::int64_t unzigzag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

}  // namespace virelo::delta
