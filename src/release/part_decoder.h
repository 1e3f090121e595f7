#pragma once
// Turns the bytes of one downloaded part of a release (the whole executable,
// its compressed copy, or a delta from the installed executable) into the
// executable, streaming: each piece is decoded as it arrives and written on,
// so neither the part nor the result is ever held whole.

#include <cstdint>
#include <memory>
#include <span>

#include "common/result.h"
#include "release/byte_streams.h"

namespace virelo {

class PartDecoder {
public:
    virtual ~PartDecoder() = default;
    // The next piece of the part. A failure is a short lower-case reason
    // (damaged data, a refused write, an unreadable base); after it the
    // decoder takes nothing more.
    virtual Result feed(std::span<const std::uint8_t> piece) = 0;
    // The part has ended: a failure when it ended before its data did.
    virtual Result finish() = 0;
};

// The bytes as they are.
std::unique_ptr<PartDecoder> make_plain_decoder(ByteSink& out);

// One gzip member, nothing after it, at most `target_size` bytes once inflated.
std::unique_ptr<PartDecoder> make_gzip_decoder(ByteSink& out, std::uint64_t target_size);

// A delta (release/delta_format.h) that rebuilds `target_size` bytes from `base`.
std::unique_ptr<PartDecoder> make_delta_decoder(BaseReader& base, ByteSink& out, std::uint64_t target_size);

// Reasons the decoders give, for callers that tell them apart.
inline constexpr char decoder_refused_write[] = "the rebuilt file could not be written";
inline constexpr char decoder_unreadable_base[] = "the installed executable could not be read";
inline constexpr char decoder_other_base[] = "the delta starts from another executable";

}  // namespace virelo
