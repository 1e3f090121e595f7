#pragma once
// One client connection of `serve`: a small state machine driven by socket
// readiness and one deadline. It never blocks and never holds more than one
// request head and one answer chunk in memory.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/peer.h"
#include "server/serve_settings.h"
#include "server/site_answer.h"
#include "server/site_files.h"
#include "server/transport.h"

namespace virelo::tool {

using Clock = std::chrono::steady_clock;

// What every connection shares during one turn of the event loop.
struct ServeContext {
    const SiteRoot& root;
    const ServeSettings& settings;
    Clock::time_point now;
    std::string_view date;  // the Date field's value for this second
};

class Connection {
public:
    Connection(std::unique_ptr<Transport> transport, Peer peer, bool tls, const ServeContext& context);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    enum class Step {
        wait,   // until the socket is ready again
        yield,  // more to do, after the other connections had their turn
        close,  // done: destroy the connection
    };

    // Does what the connection can do now.
    Step advance(const ServeContext& context);
    // After the deadline has passed, or to make room for a new connection:
    // the last words before the connection is destroyed (a partly received
    // request is answered 408, an answer cut short is logged).
    void expire(const ServeContext& context);

    Clock::time_point deadline() const { return deadline_; }
    // Waiting for a request (or a TLS handshake), and since when (the
    // connection's start, the end of its TLS handshake or of its previous
    // answer): the connections that make room when the server is full,
    // longest first.
    bool awaits_request() const { return state_ == State::handshake || state_ == State::reading; }
    Clock::time_point waiting_since() const { return waiting_since_; }

    int fd() const { return transport_->fd(); }
    const Peer& peer() const { return peer_; }

private:
    enum class State { handshake, reading, sending, lingering };
    // Each returns nothing when the state changed and the loop goes on.
    using Outcome = std::optional<Step>;
    Outcome handshake(const ServeContext& context);
    Outcome read_head(const ServeContext& context);
    Outcome begin_answer(std::size_t head_length, const ServeContext& context);
    Outcome send(const ServeContext& context);
    Outcome finish_answer(const ServeContext& context);
    Outcome linger(const ServeContext& context);

    struct Logged {
        std::string method, target;
    };
    void start_answer(Answer answer, Logged request, bool head_only, bool keep_alive, bool http_1_1,
                      const ServeContext& context);
    void count_written(std::size_t bytes);
    void log_answer();
    Step abandon();

    void log_if_abandoned(std::string_view how);

    std::unique_ptr<Transport> transport_;
    Peer peer_;
    const bool tls_;
    bool asked_ = false;  // a byte of a request has come
    State state_;
    Clock::time_point waiting_since_;
    Clock::time_point deadline_;
    std::uint64_t turn_budget_ = 0;

    // The request head being received.
    std::string received_;
    std::size_t scanned_ = 0;      // of received_, already searched for the head's end
    std::size_t blank_bytes_ = 0;  // CR and LF dropped before this request line

    // The answer being sent.
    std::string out_;
    std::size_t out_sent_ = 0;
    std::size_t head_unsent_ = 0;
    std::optional<OpenedFile> file_;
    std::uint64_t file_offset_ = 0;
    std::uint64_t file_left_ = 0;
    bool keep_alive_ = false;
    bool refused_ = false;  // ends with a lingering close
    bool logged_ = true;
    Logged request_;
    int status_ = 0;
    std::uint64_t body_sent_ = 0;

    std::uint64_t discarded_ = 0;  // while lingering
};

}  // namespace virelo::tool
