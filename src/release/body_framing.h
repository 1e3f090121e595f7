#pragma once
// How a response body is framed and bounded while it arrives: the declared
// length, the cap on what the caller will take, and the rule that a body that
// ends before its declared length is cut off, not complete. Portable, so it
// is tested natively and fuzzed; the WinHTTP layer only feeds it numbers.

#include <cstdint>
#include <string_view>

namespace virelo {

// The declared length from a Content-Length text: an unsigned decimal (an
// optional '+', digits, no overflow); 0 when absent or unreadable.
std::uint64_t parse_content_length(std::string_view text);

enum class FramingVerdict {
    go_on,     // take the bytes and keep reading
    over_cap,  // more than the caller takes: stop now, nothing more is read
};

enum class FramingEnd {
    complete,  // every declared byte arrived, or none was declared
    cut,       // fewer bytes than declared: the connection ended early
};

class BodyFraming {
public:
    // `declared` is 0 when the response declared no length; `cap` is the most
    // the caller takes (a body may reach it, not exceed it).
    BodyFraming(std::uint64_t declared, std::uint64_t cap) noexcept : declared_{declared}, cap_{cap} {}

    // A declared length beyond the cap is refused before any byte is read.
    bool refused_up_front() const noexcept { return declared_ > cap_; }

    // Counts the next `bytes` received.
    FramingVerdict admit(std::uint64_t bytes) noexcept;

    // The verdict once the server says the body is over.
    FramingEnd end() const noexcept;

    std::uint64_t received() const noexcept { return received_; }
    std::uint64_t declared() const noexcept { return declared_; }

private:
    std::uint64_t declared_;
    std::uint64_t cap_;
    std::uint64_t received_ = 0;
};

}  // namespace virelo
