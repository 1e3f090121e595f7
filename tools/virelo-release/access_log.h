#pragma once
// One line per answered request on stdout, flushed at once:
//   2025-01-31T12:00:00Z 127.0.0.1:50412 GET /api/release?f=manifest 200 412

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace virelo::tool {

void log_request(const httplib::Request& request, const httplib::Response& response);

}  // namespace virelo::tool
