#include "release/part_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "release/delta_format.h"
#include "release/inflater.h"

namespace virelo {
namespace {

// How much of the base is read at once. Records mostly move forward through
// the base, so one read serves many of them.
constexpr std::size_t window_size = 256 * 1024;
// The most bytes added in one go; at most the window.
constexpr std::size_t add_chunk = 64 * 1024;

std::uint64_t read_u64le(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// A read-ahead window over the base.
class BaseWindow {
public:
    explicit BaseWindow(BaseReader& base) : base_{base} {}

    // The `count` bytes at `offset`; the caller keeps them inside the base
    // and `count` within add_chunk. Nothing when they cannot be read.
    const std::uint8_t* at(std::uint64_t offset, std::size_t count) {
        if (offset >= start_ && offset - start_ + count <= filled_) return buffer_.data() + (offset - start_);
        if (buffer_.empty()) buffer_.resize(window_size);
        const std::size_t fill = static_cast<std::size_t>(std::min<std::uint64_t>(window_size, base_.size() - offset));
        filled_ = 0;
        if (!base_.read_at(offset, {buffer_.data(), fill})) return nullptr;
        start_ = offset;
        filled_ = fill;
        return buffer_.data();
    }

private:
    BaseReader& base_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

// Reads the records out of the inflated stream and rebuilds the target.
// Every count and position is checked against the base and the target
// before a byte moves.
class RecordBuilder final : public ByteSink {
public:
    RecordBuilder(BaseReader& base, ByteSink& out, std::uint64_t target_size)
        : base_{base}, window_{base}, out_{out}, target_size_{target_size} {}

    bool write(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            const bool ok = stage_ == Stage::number ? take_number(bytes)
                            : stage_ == Stage::add  ? take_added(bytes)
                                                    : take_extra(bytes);
            if (!ok) return false;
        }
        return true;
    }

    void start_at(std::int64_t position) noexcept { position_ = position; }

    // Between two records, with the whole target made.
    bool complete() const noexcept {
        return stage_ == Stage::number && field_ == 0 && number_bytes_ == 0 && written_ == target_size_;
    }
    const char* reason() const noexcept { return reason_; }

private:
    enum class Stage { number, add, extra };

    bool fail(const char* reason) {
        reason_ = reason;
        return false;
    }

    bool take_number(std::span<const std::uint8_t>& bytes) {
        const std::uint8_t byte = bytes.front();
        bytes = bytes.subspan(1);
        // The tenth byte of a 64-bit number holds only its top bit.
        if (number_bytes_ == delta::max_number_bytes - 1 && byte > 1) return fail("damaged: a number is too large");
        number_ |= std::uint64_t{byte & 0x7fu} << (7 * number_bytes_);
        ++number_bytes_;
        if (byte & 0x80) return true;
        fields_[field_++] = number_;
        number_ = 0;
        number_bytes_ = 0;
        if (field_ < fields_.size()) return true;
        field_ = 0;
        return start_record();
    }

    bool start_record() {
        add_left_ = fields_[0];
        extra_left_ = fields_[1];
        const std::uint64_t seek = fields_[2];
        if (add_left_ == 0 && extra_left_ == 0) return fail("damaged: a record that makes nothing");
        const std::uint64_t room = target_size_ - written_;
        if (add_left_ > room || extra_left_ > room - add_left_) return fail("damaged: records beyond the target's size");
        if (add_left_ != 0 && (position_ < 0 || static_cast<std::uint64_t>(position_) > base_.size() ||
                               add_left_ > base_.size() - static_cast<std::uint64_t>(position_))) {
            return fail("damaged: a record reads outside the base");
        }
        seek_ = delta::unzigzag(seek);
        if (seek_ > delta::max_position || seek_ < -delta::max_position) return fail("damaged: a seek out of range");
        stage_ = add_left_ != 0 ? Stage::add : Stage::extra;
        return true;
    }

    bool end_record() {
        position_ += seek_;
        if (position_ > delta::max_position || position_ < -delta::max_position) {
            return fail("damaged: a seek out of range");
        }
        stage_ = Stage::number;
        return true;
    }

    bool take_added(std::span<const std::uint8_t>& bytes) {
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>({add_left_, bytes.size(), add_chunk}));
        const std::uint8_t* base = window_.at(static_cast<std::uint64_t>(position_), count);
        if (!base) return fail(decoder_unreadable_base);
        for (std::size_t i = 0; i < count; ++i) sum_[i] = static_cast<std::uint8_t>(bytes[i] + base[i]);
        if (!out_.write({sum_.data(), count})) return fail(decoder_refused_write);
        bytes = bytes.subspan(count);
        position_ += static_cast<std::int64_t>(count);
        written_ += count;
        add_left_ -= count;
        if (add_left_ != 0) return true;
        if (extra_left_ != 0) {
            stage_ = Stage::extra;
            return true;
        }
        return end_record();
    }

    bool take_extra(std::span<const std::uint8_t>& bytes) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(extra_left_, bytes.size()));
        if (!out_.write(bytes.first(count))) return fail(decoder_refused_write);
        bytes = bytes.subspan(count);
        written_ += count;
        extra_left_ -= count;
        return extra_left_ != 0 || end_record();
    }

    BaseReader& base_;
    BaseWindow window_;
    ByteSink& out_;
    const std::uint64_t target_size_;
    std::array<std::uint8_t, add_chunk> sum_{};

    Stage stage_ = Stage::number;
    std::array<std::uint64_t, 3> fields_{};
    std::size_t field_ = 0;
    std::uint64_t number_ = 0;
    std::size_t number_bytes_ = 0;

    std::uint64_t add_left_ = 0;
    std::uint64_t extra_left_ = 0;
    std::int64_t seek_ = 0;
    std::int64_t position_ = 0;  // in the base
    std::uint64_t written_ = 0;  // of the target
    const char* reason_ = "damaged";
};

class DeltaDecoder final : public PartDecoder {
public:
    DeltaDecoder(BaseReader& base, ByteSink& out, std::uint64_t target_size)
        : base_{base}, target_size_{target_size}, builder_{std::make_unique<RecordBuilder>(base, out, target_size)} {}

    Result feed(std::span<const std::uint8_t> piece) override {
        if (failed_) return Result::failure("damaged: nothing is taken after a failure");
        if (header_filled_ < header_.size()) {
            const std::size_t count = std::min(piece.size(), header_.size() - header_filled_);
            std::memcpy(header_.data() + header_filled_, piece.data(), count);
            header_filled_ += count;
            piece = piece.subspan(count);
            if (header_filled_ < header_.size()) return Result::success();
            if (auto checked = check_header(); !checked) return checked;
        }
        if (inflater_.ended()) {
            return piece.empty() ? Result::success() : fail("damaged: bytes after the end of the delta");
        }
        switch (inflater_.inflate(piece, *builder_)) {
        case Inflater::Status::more:
            return Result::success();
        case Inflater::Status::ended:
            return piece.empty() ? Result::success() : fail("damaged: bytes after the end of the delta");
        case Inflater::Status::damaged:
            return fail("damaged: not a valid zlib stream");
        case Inflater::Status::refused:
            break;
        }
        return fail(builder_->reason());
    }

    Result finish() override {
        if (failed_) return Result::failure("damaged: nothing is taken after a failure");
        if (header_filled_ < header_.size() || !inflater_.ended() || !builder_->complete()) {
            return fail("damaged: the delta ends early");
        }
        return Result::success();
    }

private:
    Result fail(const char* reason) {
        failed_ = true;
        return Result::failure(reason);
    }

    Result check_header() {
        if (std::memcmp(header_.data(), delta::magic.data(), delta::magic.size()) != 0) {
            return fail("damaged: not a delta");
        }
        const std::uint64_t base_size = read_u64le(header_.data() + 8);
        const std::uint64_t target_size = read_u64le(header_.data() + 16);
        if (base_size != base_.size()) return fail(decoder_other_base);
        if (target_size != target_size_) return fail("damaged: the delta makes a file of another size");
        if (base_size >= static_cast<std::uint64_t>(delta::max_position)) return fail("damaged: a base too large");
        const auto start = static_cast<std::int64_t>(read_u64le(header_.data() + 24));
        if (start > delta::max_position || start < -delta::max_position) return fail("damaged: a seek out of range");
        builder_->start_at(start);
        return Result::success();
    }

    BaseReader& base_;
    const std::uint64_t target_size_;
    std::array<std::uint8_t, delta::header_size> header_{};
    std::size_t header_filled_ = 0;
    std::unique_ptr<RecordBuilder> builder_;
    Inflater inflater_{Inflater::Wrapper::zlib};
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<PartDecoder> make_delta_decoder(BaseReader& base, ByteSink& out, std::uint64_t target_size) {
    return std::make_unique<DeltaDecoder>(base, out, target_size);
}

}  // namespace virelo
