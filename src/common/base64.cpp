#include "common/base64.h"

namespace virelo {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The six-bit value of a Base64 character, or -1 for a byte that is skipped.
int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::vector<std::uint8_t> decode_base64_lenient(std::string_view text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t accumulator = 0;
    int pending_bits = 0;
    for (const char ch : text) {
        const int value = sextet(static_cast<unsigned char>(ch));
        if (value < 0) continue;
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        pending_bits += 6;
        if (pending_bits >= 8) {
            pending_bits -= 8;
            out.push_back(static_cast<std::uint8_t>(accumulator >> pending_bits));
            // Keep only the bits still pending, so the accumulator never overflows.
            accumulator &= (1u << pending_bits) - 1;
        }
    }
    return out;
}

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) |
                                    (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += alphabet[(group >> 6) & 63];
        out += alphabet[group & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += alphabet[(group >> 6) & 63];
        out += '=';
    }
    return out;
}

}  // namespace virelo
