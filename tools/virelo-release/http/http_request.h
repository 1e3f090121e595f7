#pragma once
// The head of one HTTP/1.x request, read strictly. `serve` never reads a
// request body: a request that declares one, frames itself ambiguously or
// uses a method other than GET and HEAD is refused from its head alone, so
// the body is never buffered. Pure code on byte strings, without sockets.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace virelo::tool {

// What the server reads before it has a head: beyond this it answers 431.
inline constexpr std::size_t max_request_head_bytes = 16 * 1024;
inline constexpr std::size_t max_request_header_lines = 100;

struct RequestHead {
    std::string method;
    std::string target;  // as sent, for the log
    std::string path;    // percent-decoded
    std::string query;   // after '?', still encoded
    bool http_1_1 = true;
    bool keep_alive = true;
    std::optional<std::string> range;
    std::optional<std::string> if_range;
    std::optional<std::string> if_none_match;  // repeated fields joined with ", "
    std::optional<std::string> if_modified_since;
};

// A request answered with an error and a closed connection.
struct Refusal {
    int status = 400;
    std::string_view reason;  // short text for the answer's body
    // Method and target when the request line could be read, for the log.
    std::string method;
    std::string target;
};

// The length of the head at the start of `received`, through its empty line
// (CRLF or bare LF), or nothing while it is incomplete. `scanned` bytes were
// searched before and are not searched again, so a head that trickles in
// byte by byte costs linear time. Blank lines before a request line (allowed
// between requests) must be dropped first: see leading_blank_lines.
std::optional<std::size_t> request_head_length(std::string_view received, std::size_t scanned = 0);

// How many CR and LF bytes start `received`.
std::size_t leading_blank_lines(std::string_view received);

// Parses a complete head (as measured by request_head_length).
std::variant<RequestHead, Refusal> parse_request_head(std::string_view head);

// Refusal for bytes that never became a complete head: 414 when even the
// request line is too long, 431 otherwise.
Refusal oversized_head(std::string_view received);

// The value of the query parameter `name` when it occurs exactly once
// (percent- and '+'-decoded), else nothing.
std::optional<std::string> single_query_value(std::string_view query, std::string_view name);

}  // namespace virelo::tool
