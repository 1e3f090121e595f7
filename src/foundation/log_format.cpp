#include "foundation/log_format.h"

#include <cstdio>

namespace virelo {

std::string format_log_line(const LogTime& time, std::string_view text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", time.year, time.month, time.day,
                  time.hour, time.minute, time.second, time.millisecond);
    std::string line{stamp};
    line.reserve(line.size() + text.size() + 2);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        line += (byte < 0x20 || byte == 0x7F) ? ' ' : c;
    }
    line += "\r\n";
    return line;
}

}  // namespace virelo
