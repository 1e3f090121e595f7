#include "release/inflater.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace virelo {
namespace {

constexpr std::size_t block_size = 64 * 1024;

}  // namespace

struct Inflater::Stream {
    z_stream z{};
    bool initialised = false;
    ~Stream() {
        if (initialised) inflateEnd(&z);
    }
};

Inflater::Inflater(Wrapper wrapper) : stream_{std::make_unique<Stream>()}, block_(block_size) {
    // 15: the largest window; +16 accepts the gzip wrapper only, never a bare
    // zlib or raw stream in its place.
    const int window_bits = wrapper == Wrapper::gzip ? 15 + 16 : 15;
    stream_->initialised = inflateInit2(&stream_->z, window_bits) == Z_OK;
    broken_ = !stream_->initialised;
}

Inflater::~Inflater() = default;

Inflater::Status Inflater::inflate(std::span<const std::uint8_t>& input, ByteSink& out) {
    if (broken_) return Status::damaged;
    if (ended_) return Status::ended;
    z_stream& z = stream_->z;
    for (;;) {
        // zlib counts in 32 bits; a larger piece is fed in turns.
        const auto offered = static_cast<uInt>(std::min<std::size_t>(input.size(), std::numeric_limits<uInt>::max()));
        z.next_in = const_cast<Bytef*>(input.data());
        z.avail_in = offered;
        z.next_out = block_.data();
        z.avail_out = static_cast<uInt>(block_.size());
        const int status = ::inflate(&z, Z_NO_FLUSH);
        input = input.subspan(offered - z.avail_in);
        const std::size_t produced = block_.size() - z.avail_out;
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            broken_ = true;
            return Status::damaged;
        }
        if (produced != 0 && !out.write({block_.data(), produced})) {
            broken_ = true;
            return Status::refused;
        }
        if (status == Z_STREAM_END) {
            ended_ = true;
            return Status::ended;
        }
        // A full block may leave more output inside zlib, even with no input left.
        if (produced == block_.size()) continue;
        if (input.empty()) return Status::more;
        // Input left, yet nothing consumed or produced: only a damaged stream
        // does that, and it would loop for ever.
        if (status == Z_BUF_ERROR) {
            broken_ = true;
            return Status::damaged;
        }
    }
}

}  // namespace virelo
