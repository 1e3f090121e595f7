#include "http/http_request.h"

#include <cstdint>
#include <vector>

#include "common/ascii.h"
#include "common/decimal.h"

namespace virelo::tool {
namespace {

bool is_tchar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return std::string_view{"!#$%&'*+-.^_`|~"}.find(c) != std::string_view::npos;
}

bool is_token(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (!is_tchar(c)) return false;
    }
    return true;
}

// Visible ASCII and bytes above it; never controls, spaces or DEL.
bool is_target(std::string_view text) {
    if (text.empty()) return false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool is_field_value(std::string_view text) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = ascii_lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += plus_is_space && c == '+' ? ' ' : c;
        }
    }
    return out;
}

// Content-Length: decimal digits only; no sign, list or white space inside.
std::optional<std::uint64_t> content_length(std::string_view value) {
    if (value.size() > 18) return std::nullopt;
    return parse_decimal(value);
}

// Splits the head into lines, each without its CRLF or LF. A CR anywhere
// else makes the head malformed.
std::optional<std::vector<std::string_view>> split_lines(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const auto end = head.find('\n');
        std::string_view line = head.substr(0, end);
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos) return std::nullopt;
        lines.push_back(line);
    }
    return lines;
}

struct RequestLine {
    std::string_view method, target, version;
};

std::optional<RequestLine> split_request_line(std::string_view line) {
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    if (first == std::string_view::npos || first == last) return std::nullopt;
    RequestLine parts{line.substr(0, first), line.substr(first + 1, last - first - 1), line.substr(last + 1)};
    if (!is_token(parts.method) || !is_target(parts.target)) return std::nullopt;
    return parts;
}

// "http://host/path?x" is the proxy form of "/path?x"; servers must take it.
std::optional<std::string_view> origin_form(std::string_view target) {
    if (target.front() == '/') return target;
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (target.size() > scheme.size() && equals_ascii_nocase(target.substr(0, scheme.size()), scheme)) {
            const auto rest = target.substr(scheme.size());
            const auto slash = rest.find_first_of("/?");
            if (slash == std::string_view::npos) return std::string_view{"/"};
            if (rest[slash] == '?') return std::nullopt;
            return rest.substr(slash);
        }
    }
    return std::nullopt;
}

Refusal refuse(int status, std::string_view reason, const RequestLine* line = nullptr) {
    Refusal refusal{status, reason, {}, {}};
    if (line) {
        refusal.method = std::string{line->method};
        refusal.target = std::string{line->target};
    }
    return refusal;
}

bool has_token(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        if (equals_ascii_nocase(trim_blanks(list.substr(0, comma)), token)) return true;
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    }
    return false;
}

}  // namespace

std::optional<std::size_t> request_head_length(std::string_view received, std::size_t scanned) {
    const std::size_t from = scanned > 2 ? scanned - 2 : 0;
    for (auto at = received.find('\n', from); at != std::string_view::npos; at = received.find('\n', at + 1)) {
        if (at >= 1 && received[at - 1] == '\n') return at + 1;
        if (at >= 2 && received[at - 1] == '\r' && received[at - 2] == '\n') return at + 1;
    }
    return std::nullopt;
}

std::size_t leading_blank_lines(std::string_view received) {
    const auto first = received.find_first_not_of("\r\n");
    return first == std::string_view::npos ? received.size() : first;
}

Refusal oversized_head(std::string_view received) {
    if (!received.empty() && received.find('\n') == std::string_view::npos) {
        return refuse(414, "request target too long");
    }
    return refuse(431, "request header fields too large");
}

std::variant<RequestHead, Refusal> parse_request_head(std::string_view head) {
    auto split = split_lines(head);
    if (!split || split->empty()) return refuse(400, "malformed request");
    const std::vector<std::string_view>& lines = *split;
    const auto line = split_request_line(lines.front());
    if (!line) return refuse(400, "malformed request line");
    const RequestLine& request = *line;

    RequestHead parsed;
    if (request.version == "HTTP/1.1") {
        parsed.http_1_1 = true;
    } else if (request.version == "HTTP/1.0") {
        parsed.http_1_1 = false;
    } else if (request.version.size() == 8 && request.version.starts_with("HTTP/") && is_ascii_digit(request.version[5]) &&
               request.version[6] == '.' && is_ascii_digit(request.version[7])) {
        return refuse(505, "HTTP version not supported", &request);
    } else {
        return refuse(400, "malformed request line", &request);
    }

    std::size_t host_fields = 0, length_fields = 0;
    std::uint64_t declared_length = 0;
    bool chunked_or_other_coding = false;
    std::optional<bool> connection_choice;
    std::size_t fields = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view field = lines[i];
        if (field.empty()) break;  // the head's final empty line
        if (++fields > max_request_header_lines) return refuse(431, "too many header fields", &request);
        if (field.front() == ' ' || field.front() == '\t') return refuse(400, "folded header field", &request);
        const auto colon = field.find(':');
        if (colon == std::string_view::npos || !is_token(field.substr(0, colon))) {
            return refuse(400, "malformed header field", &request);
        }
        const std::string_view name = field.substr(0, colon);
        const std::string_view value = trim_blanks(field.substr(colon + 1));
        if (!is_field_value(value)) return refuse(400, "malformed header field", &request);

        if (equals_ascii_nocase(name, "host")) {
            ++host_fields;
        } else if (equals_ascii_nocase(name, "content-length")) {
            const auto length = content_length(value);
            if (!length || ++length_fields > 1) return refuse(400, "ambiguous message length", &request);
            declared_length = *length;
        } else if (equals_ascii_nocase(name, "transfer-encoding")) {
            chunked_or_other_coding = true;
        } else if (equals_ascii_nocase(name, "connection")) {
            if (has_token(value, "close")) connection_choice = false;
            else if (has_token(value, "keep-alive") && !connection_choice) connection_choice = true;
        } else if (equals_ascii_nocase(name, "range")) {
            if (!parsed.range) parsed.range = std::string{value};
        } else if (equals_ascii_nocase(name, "if-range")) {
            if (!parsed.if_range) parsed.if_range = std::string{value};
        } else if (equals_ascii_nocase(name, "if-modified-since")) {
            if (!parsed.if_modified_since) parsed.if_modified_since = std::string{value};
        } else if (equals_ascii_nocase(name, "if-none-match")) {
            if (parsed.if_none_match) *parsed.if_none_match += ", ";
            else parsed.if_none_match.emplace();
            *parsed.if_none_match += value;
        }
    }

    if (chunked_or_other_coding && length_fields > 0) return refuse(400, "ambiguous message length", &request);
    if (host_fields > 1 || (parsed.http_1_1 && host_fields == 0)) return refuse(400, "one Host field required", &request);
    if (request.method != "GET" && request.method != "HEAD") return refuse(405, "method not allowed", &request);
    if (chunked_or_other_coding || declared_length > 0) return refuse(413, "request bodies are not accepted", &request);

    const auto origin = origin_form(request.target);
    if (!origin) return refuse(400, "malformed request target", &request);
    const auto question = origin->find('?');
    auto path = percent_decode(origin->substr(0, question), false);
    if (!path) return refuse(400, "malformed request target", &request);

    parsed.method = std::string{request.method};
    parsed.target = std::string{request.target};
    parsed.path = std::move(*path);
    if (question != std::string_view::npos) parsed.query = std::string{origin->substr(question + 1)};
    parsed.keep_alive = connection_choice.value_or(parsed.http_1_1);
    return parsed;
}

std::optional<std::string> single_query_value(std::string_view query, std::string_view name) {
    std::optional<std::string> found;
    std::size_t count = 0;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
        const auto equals = pair.find('=');
        const auto key = percent_decode(pair.substr(0, equals), true);
        if (!key || *key != name) continue;
        ++count;
        found = equals == std::string_view::npos ? std::optional<std::string>{std::string{}}
                                                 : percent_decode(pair.substr(equals + 1), true);
    }
    if (count != 1) return std::nullopt;
    return found;
}

}  // namespace virelo::tool
