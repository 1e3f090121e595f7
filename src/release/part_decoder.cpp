#include "release/part_decoder.h"

#include "release/inflater.h"

namespace virelo {
namespace {

class PlainDecoder final : public PartDecoder {
public:
    explicit PlainDecoder(ByteSink& out) : out_{out} {}
    Result feed(std::span<const std::uint8_t> piece) override {
        return out_.write(piece) ? Result::success() : Result::failure(decoder_refused_write);
    }
    Result finish() override { return Result::success(); }

private:
    ByteSink& out_;
};

// Counts what passes and refuses more than the release's size: a small
// compressed file must not inflate into a disk-filling one.
class CappedSink final : public ByteSink {
public:
    CappedSink(ByteSink& out, std::uint64_t cap) : out_{out}, cap_{cap} {}
    bool write(std::span<const std::uint8_t> bytes) override {
        if (bytes.size() > cap_ - written_) {
            over_cap_ = true;
            return false;
        }
        written_ += bytes.size();
        return out_.write(bytes);
    }
    bool over_cap() const noexcept { return over_cap_; }

private:
    ByteSink& out_;
    std::uint64_t cap_;
    std::uint64_t written_ = 0;
    bool over_cap_ = false;
};

class GzipDecoder final : public PartDecoder {
public:
    GzipDecoder(ByteSink& out, std::uint64_t target_size) : capped_{out, target_size} {}

    Result feed(std::span<const std::uint8_t> piece) override {
        if (failed_) return Result::failure("damaged: nothing is taken after a failure");
        if (inflater_.ended()) {
            if (piece.empty()) return Result::success();
            return fail("damaged: bytes after the end of the compressed data");
        }
        switch (inflater_.inflate(piece, capped_)) {
        case Inflater::Status::more:
            return Result::success();
        case Inflater::Status::ended:
            // One member only: a second one, or anything else, is not ours.
            return piece.empty() ? Result::success() : fail("damaged: bytes after the end of the compressed data");
        case Inflater::Status::damaged:
            return fail("damaged: not a valid gzip stream");
        case Inflater::Status::refused:
            break;
        }
        return fail(capped_.over_cap() ? "damaged: it inflates beyond the release's size" : decoder_refused_write);
    }

    Result finish() override {
        if (failed_) return Result::failure("damaged: nothing is taken after a failure");
        return inflater_.ended() ? Result::success() : fail("damaged: the compressed data ends early");
    }

private:
    Result fail(const char* reason) {
        failed_ = true;
        return Result::failure(reason);
    }

    CappedSink capped_;
    Inflater inflater_{Inflater::Wrapper::gzip};
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<PartDecoder> make_plain_decoder(ByteSink& out) { return std::make_unique<PlainDecoder>(out); }

std::unique_ptr<PartDecoder> make_gzip_decoder(ByteSink& out, std::uint64_t target_size) {
    return std::make_unique<GzipDecoder>(out, target_size);
}

}  // namespace virelo
