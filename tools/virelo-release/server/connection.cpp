#include "server/connection.h"

#include <unistd.h>

#include <algorithm>
#include <variant>

#include "http/http_request.h"
#include "server/access_log.h"

namespace virelo::tool {
namespace {

// A file part up to this size goes out in the same send as the head: one
// segment for a small answer, and no wait for the client's acknowledgement
// of the head in between.
constexpr std::uint64_t inline_body_bytes = 64 * 1024;
// Per sendfile call, and what one connection may send before the others get
// their turn.
constexpr std::size_t file_chunk_bytes = 512 * 1024;
constexpr std::uint64_t turn_bytes = 2 * 1024 * 1024;
// Copy buffer for transports without sendfile (TLS).
constexpr std::size_t copy_chunk_bytes = 64 * 1024;
constexpr std::size_t read_chunk_bytes = 16 * 1024;
constexpr std::size_t idle_buffer_bytes = 4 * 1024;

}  // namespace

Connection::Connection(std::unique_ptr<Transport> transport, Peer peer, bool tls, const ServeContext& context)
    : transport_{std::move(transport)},
      peer_{std::move(peer)},
      tls_{tls},
      state_{tls ? State::handshake : State::reading},
      waiting_since_{context.now},
      deadline_{context.now + context.settings.head_timeout} {}

Connection::Step Connection::advance(const ServeContext& context) {
    turn_budget_ = turn_bytes;
    for (;;) {
        Outcome outcome;
        switch (state_) {
        case State::handshake: outcome = handshake(context); break;
        case State::reading: outcome = read_head(context); break;
        case State::sending: outcome = send(context); break;
        case State::lingering: outcome = linger(context); break;
        }
        if (outcome) return *outcome;
    }
}

void Connection::expire(const ServeContext& context) {
    switch (state_) {
    case State::handshake:
        if (transport_->heard_from_client()) log_tls_failure(peer_, "timed out");
        return;
    case State::reading:
        if (received_.empty() && blank_bytes_ == 0) {  // an idle connection
            log_if_abandoned("no request in time");
            return;
        }
        // A head that did not arrive in time: say so once, without waiting
        // for the client to read it.
        start_answer(answer_error(408, "request timeout", true), {"-", "-"}, false, false, true, context);
        refused_ = false;
        turn_budget_ = turn_bytes;
        send(context);
        log_answer();
        return;
    case State::sending:
        log_answer();  // shows the bytes that did go out
        return;
    case State::lingering:
        return;
    }
}

Connection::Outcome Connection::handshake(const ServeContext& context) {
    const Io io = transport_->handshake();
    if (io.status == Io::done) {
        // The wait for a request head starts now: a client that has just
        // finished its handshake is not the one to make room. The deadline
        // still counts from the connection's start.
        state_ = State::reading;
        waiting_since_ = context.now;
        return std::nullopt;
    }
    if (io.status == Io::again) return Step::wait;
    // A connection closed before it sent a byte (a port probe, a load
    // balancer's health check) attempted no handshake: nothing to report.
    if (transport_->heard_from_client()) log_tls_failure(peer_, transport_->failure_reason());
    return Step::close;
}

Connection::Outcome Connection::read_head(const ServeContext& context) {
    const std::size_t limit = max_request_head_bytes;
    for (;;) {
        if (scanned_ == 0 && !received_.empty()) {
            const std::size_t blank = leading_blank_lines(received_);
            received_.erase(0, blank);
            blank_bytes_ += blank;
        }
        if (const auto length = request_head_length(received_, scanned_)) return begin_answer(*length, context);
        scanned_ = received_.size();
        if (received_.size() + blank_bytes_ >= limit) {
            const Refusal refusal = oversized_head(received_);
            start_answer(answer_error(refusal.status, refusal.reason, true), {"-", "-"}, false, false, true, context);
            return std::nullopt;
        }
        char buffer[read_chunk_bytes];
        const std::size_t room = std::min(sizeof buffer, limit - received_.size() - blank_bytes_);
        const Io io = transport_->read(buffer, room);
        if (io.status == Io::again) return Step::wait;
        if (io.status != Io::done) {  // the client left before asking anything
            log_if_abandoned(io.status == Io::closed ? "closed without a request" : transport_->failure_reason());
            return Step::close;
        }
        asked_ = true;
        received_.append(buffer, io.bytes);
    }
}

Connection::Outcome Connection::begin_answer(std::size_t head_length, const ServeContext& context) {
    auto parsed = parse_request_head(std::string_view{received_}.substr(0, head_length));
    received_.erase(0, head_length);
    scanned_ = 0;
    blank_bytes_ = 0;
    if (auto* refusal = std::get_if<Refusal>(&parsed)) {
        Logged logged{refusal->method.empty() ? "-" : refusal->method, refusal->target.empty() ? "-" : refusal->target};
        start_answer(answer_error(refusal->status, refusal->reason, true), std::move(logged), false, false, true,
                     context);
        return std::nullopt;
    }
    RequestHead& request = std::get<RequestHead>(parsed);
    Answer answer = answer_request(context.root, request, context.settings.prefix);
    const bool head_only = request.method == "HEAD";
    start_answer(std::move(answer), {std::move(request.method), std::move(request.target)}, head_only,
                 request.keep_alive, request.http_1_1, context);
    return std::nullopt;
}

void Connection::start_answer(Answer answer, Logged request, bool head_only, bool keep_alive, bool http_1_1,
                              const ServeContext& context) {
    out_ = answer_head(answer, keep_alive, http_1_1, context.date);
    out_sent_ = 0;
    head_unsent_ = out_.size();
    file_.reset();
    file_left_ = 0;
    keep_alive_ = keep_alive && !answer.close_connection;
    refused_ = answer.close_connection;
    request_ = std::move(request);
    status_ = answer.status;
    body_sent_ = 0;
    logged_ = false;
    if (!head_only) {
        out_ += answer.body;
        if (answer.file && answer.file_length > 0) {
            file_ = std::move(answer.file);
            file_offset_ = answer.file_offset;
            file_left_ = answer.file_length;
            if (file_left_ <= inline_body_bytes) {
                const std::size_t start = out_.size();
                out_.resize(start + file_left_);
                const ssize_t n = ::pread(file_->fd.get(), out_.data() + start, file_left_,
                                          static_cast<off_t>(file_offset_));
                // A file cut short since it was opened: send what there is and
                // close, so the client sees the answer is incomplete.
                const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
                out_.resize(start + got);
                if (got < file_left_) keep_alive_ = false;
                file_.reset();
                file_left_ = 0;
            }
        }
    }
    state_ = State::sending;
    deadline_ = context.now + context.settings.send_timeout;
}

void Connection::count_written(std::size_t bytes) {
    out_sent_ += bytes;
    const std::size_t head_part = std::min(bytes, head_unsent_);
    head_unsent_ -= head_part;
    body_sent_ += bytes - head_part;
    turn_budget_ -= std::min<std::uint64_t>(turn_budget_, bytes);
}

Connection::Outcome Connection::send(const ServeContext& context) {
    for (;;) {
        if (turn_budget_ == 0) return Step::yield;
        if (out_sent_ < out_.size()) {
            const Io io = transport_->write(out_.data() + out_sent_, out_.size() - out_sent_, file_left_ > 0);
            if (io.status == Io::again) return Step::wait;
            if (io.status != Io::done) return abandon();
            count_written(io.bytes);
            deadline_ = context.now + context.settings.send_timeout;
            continue;
        }
        if (file_left_ == 0) return finish_answer(context);
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(file_left_, file_chunk_bytes));
        if (const auto io = transport_->send_file(file_->fd.get(), file_offset_, chunk)) {
            if (io->status == Io::again) return Step::wait;
            if (io->status != Io::done) return abandon();
            file_offset_ += io->bytes;
            file_left_ -= io->bytes;
            body_sent_ += io->bytes;
            turn_budget_ -= std::min<std::uint64_t>(turn_budget_, io->bytes);
            deadline_ = context.now + context.settings.send_timeout;
            continue;
        }
        // No sendfile: copy the next piece through the buffer.
        out_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(file_left_, copy_chunk_bytes)));
        const ssize_t n = ::pread(file_->fd.get(), out_.data(), out_.size(), static_cast<off_t>(file_offset_));
        if (n <= 0) return abandon();  // the file shrank: cut the connection rather than send garbage
        out_.resize(static_cast<std::size_t>(n));
        out_sent_ = 0;
        file_offset_ += static_cast<std::uint64_t>(n);
        file_left_ -= static_cast<std::uint64_t>(n);
    }
}

Connection::Outcome Connection::finish_answer(const ServeContext& context) {
    log_answer();
    file_.reset();
    // An idle connection keeps no large buffer: a thousand of them must stay small.
    out_.clear();
    if (out_.capacity() > idle_buffer_bytes) std::string{}.swap(out_);
    if (received_.empty() && received_.capacity() > idle_buffer_bytes) std::string{}.swap(received_);
    if (refused_) {
        transport_->shutdown_write();
        state_ = State::lingering;
        deadline_ = context.now + context.settings.linger_time;
        discarded_ = 0;
        return std::nullopt;
    }
    if (!keep_alive_) return Step::close;
    state_ = State::reading;
    waiting_since_ = context.now;
    deadline_ = context.now + context.settings.head_timeout;
    return std::nullopt;  // a request sent right behind this one is read at once
}

Connection::Outcome Connection::linger(const ServeContext& context) {
    // What the client still sends is discarded in a fixed buffer, never kept.
    char buffer[read_chunk_bytes];
    for (;;) {
        const Io io = transport_->read(buffer, sizeof buffer);
        if (io.status == Io::again) return Step::wait;
        if (io.status != Io::done) return Step::close;
        discarded_ += io.bytes;
        if (discarded_ >= context.settings.linger_bytes) return Step::close;
    }
}

// A client that rejects the certificate only after the handshake (a Wine
// client, `verify` without --ca-file) completes it, sends no alert and hangs
// up: the only sign is a TLS connection that never asks anything.
void Connection::log_if_abandoned(std::string_view how) {
    if (tls_ && !asked_) log_tls_abandoned(peer_, how);
}

void Connection::log_answer() {
    if (logged_) return;
    log_request(peer_, request_.method, request_.target, status_, body_sent_);
    logged_ = true;
}

Connection::Step Connection::abandon() {
    log_answer();
    return Step::close;
}

}  // namespace virelo::tool
