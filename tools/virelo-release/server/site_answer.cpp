#include "server/site_answer.h"

#include <cinttypes>
#include <cstdio>

#include "http/http_date.h"
#include "http/http_range.h"
#include "publishing/release_folder.h"

namespace virelo::tool {
namespace {

const char* reason_phrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

// Files whose content changes under the same URL with every release: a
// cache must ask again each time, or a client could pair a new manifest with
// an old signature. Also for their 404s, so a miss is not cached either.
// `path` is the request's path below the site's prefix, with its leading '/'.
bool changes_with_each_release(std::string_view path) {
    if (path == "/api/release") return true;
    for (const std::string_view name : {manifest_file, signature_file, api_executable_alias}) {
        if (path.size() == name.size() + 1 && path.ends_with(name)) return true;
    }
    return false;
}

std::optional<OpenedFile> open_requested(const SiteRoot& root, std::string_view path, const RequestHead& request) {
    if (path != "/api/release") return root.open_file(path);
    const auto what = single_query_value(request.query, "f");
    if (!what) return std::nullopt;
    return root.open_api(*what);
}

std::string entity_tag(const OpenedFile& file) {
    const auto nanoseconds = static_cast<std::uint64_t>(file.modified.tv_sec) * 1'000'000'000u +
                             static_cast<std::uint64_t>(file.modified.tv_nsec);
    char text[80];
    std::snprintf(text, sizeof text, "\"%" PRIx64 "-%" PRIx64 "-%" PRIx64 "\"", static_cast<std::uint64_t>(file.inode),
                  nanoseconds, file.size);
    return text;
}

// If-None-Match: "*" or a list of entity tags, compared weakly (W/ ignored).
bool entity_tag_listed(std::string_view list, std::string_view tag) {
    const std::string_view opaque = tag.substr(1, tag.size() - 2);
    while (!list.empty()) {
        const char c = list.front();
        if (c == ' ' || c == '\t' || c == ',') {
            list.remove_prefix(1);
            continue;
        }
        if (c == '*') return true;
        if (list.starts_with("W/")) list.remove_prefix(2);
        if (list.empty() || list.front() != '"') return false;
        const auto close = list.find('"', 1);
        if (close == std::string_view::npos) return false;
        if (list.substr(1, close - 1) == opaque) return true;
        list.remove_prefix(close + 1);
    }
    return false;
}

bool not_modified(const RequestHead& request, const OpenedFile& file, std::string_view tag) {
    if (request.if_none_match) return entity_tag_listed(*request.if_none_match, tag);
    if (!request.if_modified_since) return false;
    const auto since = parse_http_date(*request.if_modified_since);
    return since && file.modified.tv_sec <= *since;
}

// If-Range: the range applies only to the representation the client holds
// part of, named by a strong entity tag or the exact Last-Modified date.
bool range_applies(const RequestHead& request, std::string_view tag, std::string_view last_modified) {
    if (!request.if_range) return true;
    const std::string& validator = *request.if_range;
    if (validator.starts_with('"')) return validator == tag;
    return validator == last_modified;
}

std::string content_range(std::uint64_t first, std::uint64_t length, std::uint64_t size) {
    char text[96];
    std::snprintf(text, sizeof text, "Content-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64 "\r\n", first,
                  first + length - 1, size);
    return text;
}

Answer answer_file(const RequestHead& request, OpenedFile file) {
    Answer answer;
    const std::string tag = entity_tag(file);
    const std::string last_modified = format_http_date(file.modified.tv_sec);
    const std::string validators = "ETag: " + tag + "\r\nLast-Modified: " + last_modified + "\r\n";
    if (not_modified(request, file, tag)) {
        answer.status = 304;
        answer.fields = validators;
        return answer;
    }
    const std::uint64_t size = file.size;
    RangeChoice range;
    // Range is defined for GET only.
    if (request.method == "GET" && request.range && range_applies(request, tag, last_modified)) {
        range = choose_range(*request.range, size);
    }
    if (range.kind == RangeChoice::unsatisfiable) {
        answer.status = 416;
        answer.fields = "Content-Type: text/plain; charset=us-ascii\r\nContent-Range: bytes */" +
                        std::to_string(size) + "\r\n";
        return answer;
    }
    answer.fields = "Content-Type: " + file.content_type + "\r\nAccept-Ranges: bytes\r\n" + validators;
    answer.file_offset = 0;
    answer.file_length = size;
    if (range.kind == RangeChoice::part) {
        answer.status = 206;
        answer.fields += content_range(range.first, range.length, size);
        answer.file_offset = range.first;
        answer.file_length = range.length;
    }
    answer.file = std::move(file);
    return answer;
}

}  // namespace

Answer answer_request(const SiteRoot& root, const RequestHead& request, std::string_view prefix) {
    // Outside the prefix there is nothing, not even a release's uncached 404.
    if (!request.path.starts_with(prefix)) return answer_error(404, "not found", false);
    const std::string_view path = std::string_view{request.path}.substr(prefix.size() - 1);
    auto file = open_requested(root, path, request);
    Answer answer = file ? answer_file(request, std::move(*file)) : answer_error(404, "not found", false);
    if (changes_with_each_release(path)) {
        answer.fields += "Cache-Control: no-cache\r\n";
    } else if (answer.status / 100 == 2 && is_part_file_name(path.substr(1))) {
        // A compressed copy or delta is named after the digests of what it
        // holds, so its content never changes: caches may keep it for good.
        answer.fields += "Cache-Control: public, max-age=31536000, immutable\r\n";
    }
    return answer;
}

bool valid_url_prefix(std::string_view prefix) {
    if (prefix.empty() || prefix.front() != '/' || prefix.back() != '/') return false;
    for (std::size_t start = 1; start < prefix.size();) {
        const std::size_t end = prefix.find('/', start);
        const std::string_view segment = prefix.substr(start, end - start);
        if (segment.empty() || segment.front() == '.') return false;
        for (const char c : segment) {
            const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                 c == '-' || c == '_' || c == '~' || c == '.';
            if (!allowed) return false;
        }
        start = end + 1;
    }
    return true;
}

Answer answer_error(int status, std::string_view reason, bool close) {
    Answer answer;
    answer.status = status;
    answer.fields = "Content-Type: text/plain; charset=us-ascii\r\n";
    if (status == 405) answer.fields += "Allow: GET, HEAD\r\n";
    answer.body = std::string{reason} + "\n";
    answer.close_connection = close;
    return answer;
}

std::string answer_head(const Answer& answer, bool keep_alive, bool http_1_1, std::string_view date) {
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason_phrase(answer.status) + "\r\n";
    head += "Date: ";
    head += date;
    head += "\r\n";
    head += answer.fields;
    if (answer.status != 304) head += "Content-Length: " + std::to_string(answer.content_length()) + "\r\n";
    if (!keep_alive || answer.close_connection) {
        head += "Connection: close\r\n";
    } else if (!http_1_1) {
        head += "Connection: keep-alive\r\n";
    }
    head += "\r\n";
    return head;
}

}  // namespace virelo::tool
