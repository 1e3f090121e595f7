#include "release/http_client.h"

#include <algorithm>
#include <optional>
#include <string>

#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "release/body_framing.h"
#include "release/tls_refusal.h"
#include "release/url_target.h"

namespace virelo {
namespace {

using Body = std::vector<std::uint8_t>;

constexpr char bad_site_address[] = "bad site address";
constexpr char network_unavailable[] = "network unavailable";
constexpr char cannot_reach_site[] = "cannot reach the site";
constexpr char download_interrupted[] = "download interrupted";
constexpr char certificate_refused[] = "the site's certificate was not accepted";

// MinGW's headers lack it; the value is fixed by the platform.
#ifndef WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT
constexpr DWORD WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT = 7;
#endif

// The most handed to the sink at once.
constexpr DWORD read_piece = 64 * 1024;

DWORD status_code(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

// 0 when absent, longer than the buffer, or not an unsigned decimal number.
std::uint64_t content_length(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return parse_content_length(win::from_wide_buffer(text, 32));
}

bool past(const std::optional<SteadyClock::time_point>& deadline) {
    return deadline && SteadyClock::now() >= *deadline;
}

// Every wait of the request ends by the deadline, as well as within the
// session's own timeouts. A drip of bytes still passes each single wait; the
// read loop checks the deadline between reads for that. Name resolution gets
// no timeout of its own here: with one, WinHTTP resolves on a thread of its
// own for each request (under Wine a pool thread with about 1 MiB of stack),
// and a request with a deadline runs where its caller stops waiting for it at
// that deadline anyway.
void bound_waits(HINTERNET request, const std::optional<SteadyClock::time_point>& deadline,
                 std::chrono::milliseconds longest) {
    if (!deadline) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - SteadyClock::now()).count();
    const int ms = static_cast<int>(std::clamp<long long>(left, 1, longest.count()));
    WinHttpSetTimeouts(request, 0, std::min(ms, 8000), std::min(ms, 15000), ms);
    DWORD response_ms = static_cast<DWORD>(ms);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_ms, sizeof response_ms);
}

// What the diagnostic log says about one exchange.
struct ExchangeReport {
    DWORD status = 0;
    std::uint64_t bytes = 0;
    DWORD os_error = 0;
    std::string host;            // of a refused certificate: the name it was checked against
    DWORD certificate_flags = 0;  // WINHTTP_CALLBACK_STATUS_FLAG_*, when the system gave them
};

// Collects the reasons the system gives for refusing a certificate; WinHTTP
// calls it on the requesting thread, with the context given to the send.
void CALLBACK note_secure_failure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length) {
    if (status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || context == 0 || !information || length < sizeof(DWORD)) {
        return;
    }
    reinterpret_cast<ExchangeReport*>(context)->certificate_flags |= *static_cast<const DWORD*>(information);
}

// A failure of TLS, not of the network: telling the two apart sends the user
// to the right person (the publisher, not their internet connection).
bool is_certificate_failure(DWORD error) {
    switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return true;
    default:
        return false;
    }
}

Result read_body(HINTERNET request, std::uint64_t declared, BodySink& sink, const TransferLimits& limits,
                 ExchangeReport& report) {
    BodyFraming framing{declared, limits.max_body};
    if (framing.refused_up_front()) return Result::failure(download_interrupted);
    Body piece(static_cast<std::size_t>(std::min<std::uint64_t>(read_piece, limits.max_body + 1)));
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return Result::failure(download_interrupted);
        if (available == 0) break;

        DWORD read = 0;
        const DWORD wanted = std::min<DWORD>(available, static_cast<DWORD>(piece.size()));
        if (!WinHttpReadData(request, piece.data(), wanted, &read)) return Result::failure(download_interrupted);
        // A successful read of nothing is the end of the response.
        if (read == 0) break;

        const FramingVerdict verdict = framing.admit(read);
        report.bytes = framing.received();
        if (verdict == FramingVerdict::over_cap) return Result::failure(download_interrupted);
        if (!sink.take({piece.data(), read}, framing.received(), declared)) {
            return Result::failure(download_interrupted);
        }
        if (past(limits.deadline)) return Result::failure(download_interrupted);
    }
    if (framing.end() == FramingEnd::cut) return Result::failure(download_interrupted);
    return Result::success();
}

class MemorySink final : public BodySink {
public:
    explicit MemorySink(std::uint64_t cap) : cap_{cap} {}
    bool take(std::span<const std::uint8_t> piece, std::uint64_t, std::uint64_t declared) override {
        // A declared length within the cap is reserved once; a false one costs
        // at most the cap.
        if (body_.empty() && declared != 0) body_.reserve(static_cast<std::size_t>(std::min(declared, cap_)));
        body_.insert(body_.end(), piece.begin(), piece.end());
        return true;
    }
    Body take_body() { return std::move(body_); }

private:
    std::uint64_t cap_;
    Body body_;
};

Result exchange(const HttpSession& session, std::string_view url, BodySink& sink, const TransferLimits& limits,
                ExchangeReport& report) {
    const auto target = crack_url(url);
    if (!target) return Result::failure(bad_site_address);
    if (!session.handle()) return Result::failure(network_unavailable);
    if (past(limits.deadline)) return Result::failure(cannot_reach_site);

    // Declared in this order so that they close request, then connection.
    const unique_hinternet connection{WinHttpConnect(session.handle(), target->host.c_str(), target->port, 0)};
    if (!connection) return Result::failure(cannot_reach_site);

    const unique_hinternet request{WinHttpOpenRequest(connection.get(), L"GET", target->object.c_str(), nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                      target->secure ? WINHTTP_FLAG_SECURE : 0)};
    if (!request) return Result::failure(cannot_reach_site);
    bound_waits(request.get(), limits.deadline, session.receive());
    if (target->secure) {
        WinHttpSetStatusCallback(request.get(), note_secure_failure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    }

    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            reinterpret_cast<DWORD_PTR>(&report)) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        report.os_error = GetLastError();
        if (!is_certificate_failure(report.os_error)) return Result::failure(cannot_reach_site);
        report.host = win::from_wide(target->host);
        return Result::failure(certificate_refused);
    }

    report.status = status_code(request.get());
    const std::uint64_t declared = content_length(request.get());
    if (report.status != 200) return Result::failure("server replied " + std::to_string(report.status));

    Result body = read_body(request.get(), declared, sink, limits, report);
    if (!body) report.os_error = GetLastError();
    return body;
}

}  // namespace

Result http_receive(const HttpSession& session, std::string_view url, BodySink& sink, const TransferLimits& limits) {
    const auto start = SteadyClock::now();
    ExchangeReport report;
    Result result = exchange(session, url, sink, limits, report);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
    std::string line = "GET " + std::string{url} + ": ";
    line += result ? "200, " + std::to_string(report.bytes) + " bytes"
                   : result.error() + (report.os_error ? " (os error " + std::to_string(report.os_error) + ")" : "");
    line += ", " + std::to_string(ms) + " ms";
    log_line(line);
    if (!report.host.empty()) {
        // The flags are the system's own account; without them, its error code.
        std::string reason = report.certificate_flags ? describe_certificate_flags(report.certificate_flags)
                                                      : describe_certificate_error(report.os_error);
        if (reason.empty()) reason = "no reason given";
        log_line("certificate of " + report.host + " refused: " + reason);
    }
    return result;
}

Expected<Body> http_get(const HttpSession& session, std::string_view url, const TransferLimits& limits) {
    MemorySink sink{limits.max_body};
    if (Result received = http_receive(session, url, sink, limits); !received) {
        return Expected<Body>::failure(received.take_error());
    }
    return sink.take_body();
}

}  // namespace virelo
