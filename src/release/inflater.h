#pragma once
// zlib's inflate behind an owner: a compressed stream fed piece by piece,
// its output handed on in blocks, never held whole.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "release/byte_streams.h"

namespace virelo {

class Inflater {
public:
    enum class Wrapper { zlib, gzip };
    enum class Status {
        more,     // everything taken; the stream goes on
        ended,    // the stream's end was reached (trailing input is left unread)
        damaged,  // the data is not a valid stream of this kind
        refused,  // the sink refused a block
    };

    explicit Inflater(Wrapper wrapper);
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater();

    // Inflates as much of `input` as the stream holds, writing the output
    // to `out`; `input` keeps what was not consumed (after the end).
    Status inflate(std::span<const std::uint8_t>& input, ByteSink& out);

    bool ended() const noexcept { return ended_; }

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::vector<std::uint8_t> block_;
    bool ended_ = false;
    bool broken_ = false;
};

}  // namespace virelo
