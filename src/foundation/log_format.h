#pragma once
// The diagnostic log's lines and its bound, free of system calls.

#include <cstdint>
#include <string>
#include <string_view>

namespace virelo {

struct LogTime {
    int year, month, day, hour, minute, second, millisecond;
};

// "2026-12-10 11:22:33.456 text" and a line break. Line breaks and other
// control characters inside the text become spaces: one event, one line.
std::string format_log_line(const LogTime& time, std::string_view text);

// A log past this size is moved aside (to setup.log.1, replacing an older
// one) when a run starts, so the two files together stay near twice this.
inline constexpr std::uint64_t log_rotation_bytes = 64 * 1024;

}  // namespace virelo
