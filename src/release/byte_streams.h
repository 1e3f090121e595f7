#pragma once
// The two ends a download's decoder works between: where rebuilt bytes go,
// and the installed executable a delta starts from. Portable, so the
// decoders are tested natively and fuzzed; the Windows layer supplies a
// file behind each.

#include <cstdint>
#include <span>

namespace virelo {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // False stops the decoder: the sink has failed and keeps its own reason.
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
};

class BaseReader {
public:
    virtual ~BaseReader() = default;
    virtual std::uint64_t size() const = 0;
    // Fills `into` with the bytes at `offset`, which the caller keeps within
    // size(); false when they cannot be read.
    virtual bool read_at(std::uint64_t offset, std::span<std::uint8_t> into) = 0;
};

}  // namespace virelo
