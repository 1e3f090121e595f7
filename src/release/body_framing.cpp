#include "release/body_framing.h"

#include "common/manifest.h"

namespace virelo {

std::uint64_t parse_content_length(std::string_view text) { return parse_decimal_u64(text).value_or(0); }

FramingVerdict BodyFraming::admit(std::uint64_t bytes) noexcept {
    // Saturating: a count that would wrap is over any cap anyway.
    received_ = bytes > UINT64_MAX - received_ ? UINT64_MAX : received_ + bytes;
    return received_ > cap_ ? FramingVerdict::over_cap : FramingVerdict::go_on;
}

FramingEnd BodyFraming::end() const noexcept {
    // Some platforms (Wine) report an orderly close before the declared
    // length as the end of the data; such a body is cut off.
    return declared_ != 0 && received_ < declared_ ? FramingEnd::cut : FramingEnd::complete;
}

}  // namespace virelo
