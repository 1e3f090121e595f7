#include "http/http_request.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace virelo::tool {
namespace {

// A head with the given request line and fields, ended by its empty line.
std::string head(std::string_view line, std::string_view fields = "Host: a\r\n") {
    return std::string{line} + "\r\n" + std::string{fields} + "\r\n";
}

TEST(RequestHead, RefusalsTable) {
    struct Case {
        std::string head;
        int status;
        std::string_view why;
    };
    const Case cases[] = {
        {head("GET / HTTP/2.0"), 505, "another version"},
        {head("GET / HTTX/1.1"), 400, "no version"},
        {head("GET  / HTTP/1.1"), 400, "two spaces"},
        {head("GET / HTTP/1.1", ""), 400, "HTTP/1.1 without Host"},
        {head("GET / HTTP/1.1", "Host: a\r\nHost: b\r\n"), 400, "two Host fields"},
        {head("POST / HTTP/1.1"), 405, "another method"},
        {head("get / HTTP/1.1"), 405, "methods are case-sensitive"},
        {head("GET / HTTP/1.1", "Host: a\r\nContent-Length: 5\r\n"), 413, "a body"},
        {head("GET / HTTP/1.1", "Host: a\r\nTransfer-Encoding: chunked\r\n"), 413, "a chunked body"},
        {head("GET / HTTP/1.1", "Host: a\r\nContent-Length: 0\r\nContent-Length: 0\r\n"), 400, "two lengths"},
        {head("GET / HTTP/1.1", "Host: a\r\nContent-Length: +0\r\n"), 400, "a signed length"},
        {head("GET / HTTP/1.1", "Host: a\r\nContent-Length: 1234567890123456789\r\n"), 400, "19 digits"},
        {head("GET / HTTP/1.1", "Host: a\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n"), 400,
         "length and coding"},
        {head("GET / HTTP/1.1", "Host: a\r\n folded\r\n"), 400, "a folded field"},
        {head("GET / HTTP/1.1", "Host: a\r\nBad Name: x\r\n"), 400, "a space in a name"},
        {head("GET / HTTP/1.1", "Host: a\r\nX: a\x01z\r\n"), 400, "a control byte in a value"},
        {head("GET manifest.json HTTP/1.1"), 400, "neither origin nor absolute form"},
        {head("GET http://a?f=exe HTTP/1.1"), 400, "absolute form with a query but no path"},
        {head("GET /%zz HTTP/1.1"), 400, "a bad escape"},
        {"GET / HTTP/1.1\rHost: a\r\n\r\n", 400, "a bare CR"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_request_head(c.head);
        const auto* refusal = std::get_if<Refusal>(&parsed);
        ASSERT_NE(refusal, nullptr) << c.why;
        EXPECT_EQ(refusal->status, c.status) << c.why;
        EXPECT_FALSE(refusal->reason.empty()) << c.why;
    }
}

TEST(RequestHead, AcceptedRequestsTable) {
    struct Case {
        std::string head;
        std::string path, query;
        bool keep_alive;
    };
    const Case cases[] = {
        {head("GET /manifest.json HTTP/1.1"), "/manifest.json", "", true},
        {head("HEAD /a%20b HTTP/1.1"), "/a b", "", true},
        {head("GET /api/release?f=exe HTTP/1.1"), "/api/release", "f=exe", true},
        {head("GET / HTTP/1.0", ""), "/", "", false},
        {head("GET / HTTP/1.0", "Connection: keep-alive\r\n"), "/", "", true},
        {head("GET / HTTP/1.1", "Host: a\r\nConnection: Keep-Alive, close\r\n"), "/", "", false},
        {head("GET / HTTP/1.1", "hOsT: a\r\nContent-Length: 0\r\n"), "/", "", true},
        {"GET / HTTP/1.1\nHost: a\n\n", "/", "", true},
        {head("GET HTTP://mirror.example/api/release?f=sig HTTP/1.1"), "/api/release", "f=sig", true},  // absolute form
        {head("GET http://mirror.example HTTP/1.1"), "/", "", true},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_request_head(c.head);
        const auto* request = std::get_if<RequestHead>(&parsed);
        ASSERT_NE(request, nullptr) << c.head;
        EXPECT_EQ(request->path, c.path) << c.head;
        EXPECT_EQ(request->query, c.query) << c.head;
        EXPECT_EQ(request->keep_alive, c.keep_alive) << c.head;
    }
}

TEST(RequestHead, ConditionalFieldsKeepTheFirstAndJoinEntityTags) {
    const auto parsed = parse_request_head(head(
        "GET /x HTTP/1.1",
        "Host: a\r\nRange:  bytes=0-9 \r\nRange: bytes=5-\r\nIf-None-Match: \"a\"\r\nIf-None-Match: \"b\"\r\n"));
    const auto& request = std::get<RequestHead>(parsed);
    EXPECT_EQ(request.range, "bytes=0-9");
    EXPECT_EQ(request.if_none_match, "\"a\", \"b\"");
    EXPECT_FALSE(request.if_modified_since);
}

TEST(RequestHead, LimitsOnFieldCountAndSize) {
    std::string fields = "Host: a\r\n";
    for (std::size_t i = 0; i < max_request_header_lines; ++i) fields += "X: y\r\n";
    const auto parsed = parse_request_head(head("GET / HTTP/1.1", fields));
    ASSERT_TRUE(std::holds_alternative<Refusal>(parsed));
    EXPECT_EQ(std::get<Refusal>(parsed).status, 431);

    EXPECT_EQ(oversized_head(std::string(100, 'a')).status, 414);
    EXPECT_EQ(oversized_head("GET / HTTP/1.1\r\nX: " + std::string(100, 'a')).status, 431);
}

TEST(RequestHead, LengthFindsTheEndAcrossPieces) {
    struct Case {
        std::string_view received;
        std::optional<std::size_t> length;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\nnext", 27},
        {"GET / HTTP/1.1\nHost: a\n\n", 24},
        {"GET / HTTP/1.1\r\nHost: a\r\n", std::nullopt},
        {"GET / HTTP/1.1\r\nHost: a\r\n\r", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(request_head_length(c.received), c.length) << c.received;

    // Found alike when the search resumes after bytes already scanned.
    const std::string_view whole = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    for (std::size_t scanned = 0; scanned < whole.size(); ++scanned) {
        EXPECT_EQ(request_head_length(whole, scanned), whole.size()) << scanned;
    }
    EXPECT_EQ(leading_blank_lines("\r\n\r\nGET"), 4u);
}

TEST(RequestHead, SingleQueryValueTable) {
    struct Case {
        std::string_view query;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"f=exe", "exe"},        {"f=ex%65", "exe"},  {"x=1&f=sig", "sig"}, {"f=a+b", "a b"},
        {"f=1&f=2", std::nullopt}, {"g=1", std::nullopt}, {"f", ""},       {"%66=manifest", "manifest"},
    };
    for (const auto& c : cases) EXPECT_EQ(single_query_value(c.query, "f"), c.value) << c.query;
}

}  // namespace
}  // namespace virelo::tool
