#pragma once
// What `serve` answers: the status, the header fields and where the body
// comes from, for a request head or a refusal. No sockets here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/http_request.h"
#include "server/site_files.h"

namespace virelo::tool {

struct Answer {
    int status = 200;
    std::string fields;  // header lines, each with its CRLF; not Date, Content-Length or Connection
    std::string body;    // a short text body, when there is no file
    std::optional<OpenedFile> file;
    std::uint64_t file_offset = 0;
    std::uint64_t file_length = 0;
    bool close_connection = false;  // refusals end the connection

    std::uint64_t content_length() const { return file ? file_length : body.size(); }
};

// GET or HEAD of the release API (PREFIX/api/release?f=manifest|sig|exe) or
// a static file below `prefix`, with validators, conditional requests and one
// byte range. `prefix` starts and ends with '/'; a path outside it gets 404.
Answer answer_request(const SiteRoot& root, const RequestHead& request, std::string_view prefix = "/");

// Whether `prefix` may be a site's URL prefix: "/" or "/a/b/", each segment
// of letters, digits, '-', '_', '~' and '.', none empty or starting with '.'.
bool valid_url_prefix(std::string_view prefix);

// An error answer with a short text body; `close` ends the connection after it.
Answer answer_error(int status, std::string_view reason, bool close);

// The bytes of the status line and header block. A HEAD request or a 304
// gets the same head without a body.
std::string answer_head(const Answer& answer, bool keep_alive, bool http_1_1, std::string_view date);

}  // namespace virelo::tool
