// Feeds arbitrary bytes to the download decoders, as a hostile site could
// (the part's signed digest is checked only after decoding). The input is
// [mode][base length, 2 bytes little-endian][base][part]: mode's low bit
// picks the delta or the gzip decoder, its next bits how the part is cut
// into pieces. The seeds are real deltas that publish wrote, with their bases.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "release/part_decoder.h"

namespace {

constexpr char target[] = "delta_fuzz";
// The size the rebuilt file must have; deltas in the seeds declare theirs.
constexpr std::uint64_t gzip_target = 1 << 16;

class Base final : public virelo::BaseReader {
public:
    Base(const std::uint8_t* data, std::size_t size) : data_{data}, size_{size} {}
    std::uint64_t size() const override { return size_; }
    bool read_at(std::uint64_t offset, std::span<std::uint8_t> into) override {
        // The decoder must never ask for bytes outside the base.
        if (offset > size_ || into.size() > size_ - offset) virelo::fuzz::fail(target, "read outside the base");
        std::memcpy(into.data(), data_ + offset, into.size());
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

class Counter final : public virelo::ByteSink {
public:
    bool write(std::span<const std::uint8_t> bytes) override {
        written += bytes.size();
        return true;
    }
    std::uint64_t written = 0;
};

std::uint64_t declared_target(const std::uint8_t* part, std::size_t size) {
    if (size < 24) return 0;
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | part[16 + i];
    return std::min<std::uint64_t>(value, 1 << 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t mode = data[0];
    const std::size_t base_size = std::min<std::size_t>(data[1] | (data[2] << 8), size - 3);
    const std::uint8_t* base_bytes = data + 3;
    const std::uint8_t* part = base_bytes + base_size;
    const std::size_t part_size = size - 3 - base_size;
    const std::size_t piece = 1 + (mode >> 1) % 64;

    Base base{base_bytes, base_size};
    Counter out;
    const bool delta = (mode & 1) == 0;
    // A delta that declares a target within reach is decoded towards it, so
    // the seeds go all the way; others are refused at the header.
    const std::uint64_t target_size = delta ? declared_target(part, part_size) : gzip_target;
    const auto decoder =
        delta ? virelo::make_delta_decoder(base, out, target_size) : virelo::make_gzip_decoder(out, target_size);
    bool ok = true;
    for (std::size_t at = 0; at < part_size && ok; at += piece) {
        ok = decoder->feed({part + at, std::min(piece, part_size - at)}).ok();
    }
    if (ok) ok = decoder->finish().ok();
    if (out.written > target_size) virelo::fuzz::fail(target, "more than the target written");
    if (delta && ok && out.written != target_size) virelo::fuzz::fail(target, "success short of the target");
    return 0;
}
