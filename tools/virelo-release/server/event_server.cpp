#include "server/event_server.h"

#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http/http_date.h"
#include "server/access_log.h"
#include "server/connection.h"
#include "server/connection_counts.h"
#include "server/loop_mailbox.h"
#include "server/peer.h"

namespace virelo::tool {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t listener_id = 0;
constexpr std::uint64_t stop_id = 1;
constexpr std::uint64_t mailbox_id = 2;
constexpr unsigned max_loops = 8;
constexpr auto sweep_interval = 250ms;
// After the process ran out of descriptors, accepting rests this long
// rather than spin on a listener it cannot serve.
constexpr auto accept_pause = 100ms;
constexpr int accepts_per_turn = 4;
constexpr int events_per_wait = 256;
// What the log's reader may fall behind by before lines are dropped.
constexpr std::size_t log_buffer_bytes = 256 * 1024;
// After a burst of connections (a thousand stalled TLS handshakes leave some
// 50 MiB behind in the allocator's arenas), the freed memory goes back to the
// system once this loop holds at most a quarter of its peak.
constexpr std::size_t trim_after_connections = 64;
// Connections looked at before one is evicted (see evictable).
constexpr int looks_before_evicting = 3;

class EventLoop {
public:
    EventLoop(int listener, const SiteRoot& root, const TlsContext* tls, const ServeSettings& settings,
              ConnectionCounts& counts, LoopMailbox& mailbox, const std::vector<std::unique_ptr<LoopMailbox>>& all)
        : listener_{listener},
          root_{root},
          tls_{tls},
          settings_{settings},
          counts_{counts},
          mailbox_{mailbox},
          mailboxes_{all} {}

    // Until `stop` (an eventfd) becomes readable.
    Result run(int stop);

private:
    struct Entry {
        std::unique_ptr<Connection> connection;
        bool queued = false;
    };

    ServeContext context() const { return {root_, settings_, now_, date_}; }
    void tick_clock();
    bool watch(int fd, std::uint32_t events, std::uint64_t id, int operation = EPOLL_CTL_ADD);
    bool watch_listener();
    void accept_clients();
    void admit(unique_fd socket, const sockaddr_storage& address, unsigned hops);
    std::unordered_map<std::uint64_t, Entry>::iterator longest_waiting();
    std::unordered_map<std::uint64_t, Entry>::iterator evictable();
    LoopMailbox* mailbox_of_longest_waiting();
    void publish_longest_waiting();
    void refuse(int fd, const Peer& peer, ConnectionCounts::Admission verdict);
    void drive(std::uint64_t id);
    void destroy(std::uint64_t id, bool release_count = true);
    void sweep();
    void return_freed_memory();

    int listener_;
    const SiteRoot& root_;
    const TlsContext* tls_;
    const ServeSettings& settings_;
    unique_fd epoll_;
    ConnectionCounts& counts_;
    LoopMailbox& mailbox_;
    const std::vector<std::unique_ptr<LoopMailbox>>& mailboxes_;
    std::unordered_map<std::uint64_t, Entry> connections_;
    std::vector<std::uint64_t> queue_;  // connections that yielded their turn
    std::uint64_t next_id_ = mailbox_id + 1;
    Clock::time_point now_{};
    Clock::time_point next_sweep_{};
    bool accept_paused_ = false;
    Clock::time_point accept_paused_until_{};
    std::time_t date_second_ = -1;
    std::string date_;
    std::size_t peak_connections_ = 0;  // since memory was last returned
};

void EventLoop::tick_clock() {
    now_ = Clock::now();
    const std::time_t second = std::time(nullptr);
    if (second != date_second_) {
        date_second_ = second;
        date_ = format_http_date(second);
    }
}

bool EventLoop::watch(int fd, std::uint32_t events, std::uint64_t id, int operation) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    return ::epoll_ctl(epoll_.get(), operation, fd, &event) == 0;
}

// EPOLLEXCLUSIVE: a new connection wakes one idle loop, not all of them.
bool EventLoop::watch_listener() { return watch(listener_, EPOLLIN | EPOLLEXCLUSIVE, listener_id); }

Result EventLoop::run(int stop) {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_ || !watch_listener() || !watch(stop, EPOLLIN, stop_id) ||
        !watch(mailbox_.wake_fd(), EPOLLIN, mailbox_id)) {
        return Result::failure(std::string{"cannot start the event loop: "} + std::strerror(errno));
    }
    tick_clock();
    next_sweep_ = now_ + sweep_interval;
    epoll_event events[events_per_wait];
    for (;;) {
        const auto until_sweep = std::chrono::ceil<std::chrono::milliseconds>(next_sweep_ - now_);
        const int timeout = queue_.empty() ? static_cast<int>(std::clamp<long long>(until_sweep.count(), 0, 250)) : 0;
        const int ready = ::epoll_wait(epoll_.get(), events, events_per_wait, timeout);
        if (ready < 0 && errno != EINTR) return Result::failure(std::string{"epoll_wait: "} + std::strerror(errno));
        tick_clock();
        for (int i = 0; i < ready; ++i) {
            const std::uint64_t id = events[i].data.u64;
            if (id == stop_id) return Result::success();
            if (id == listener_id) {
                accept_clients();
            } else if (id == mailbox_id) {
                for (auto& handed : mailbox_.take()) {
                    admit(std::move(handed.socket), handed.address, handed.hops);
                }
            } else {
                drive(id);
            }
        }
        std::vector<std::uint64_t> turn;
        turn.swap(queue_);
        for (const std::uint64_t id : turn) {
            if (const auto found = connections_.find(id); found != connections_.end()) {
                found->second.queued = false;
                drive(id);
            }
        }
        if (now_ >= next_sweep_) {
            sweep();
            next_sweep_ = now_ + sweep_interval;
        }
    }
}

void EventLoop::accept_clients() {
    for (int i = 0; i < accepts_per_turn; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            admit(unique_fd{fd}, address, 0);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            if (::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_, nullptr) == 0) {
                accept_paused_ = true;
                accept_paused_until_ = now_ + accept_pause;
            }
            return;
        }
        // ECONNABORTED, EINTR, network errors of that one client: go on.
    }
}

// When the server is full, the connection that has waited longest for a
// request head (an idle keep-alive connection or a slow one, never an answer
// under way) makes room. If it belongs to another loop, the new connection is
// handed to that loop, which decides again. What the loops publish may be
// out of date by then, so a connection is handed on at most once per loop.
void EventLoop::admit(unique_fd socket, const sockaddr_storage& address, unsigned hops) {
    Peer peer = describe_peer(address);
    auto verdict = counts_.admit(peer.limit_key);
    if (verdict == ConnectionCounts::Admission::server_full) {
        const auto local = evictable();
        LoopMailbox* other = hops < mailboxes_.size() ? mailbox_of_longest_waiting() : nullptr;
        if (other && (local == connections_.end() ||
                      *other->oldest_waiting() < local->second.connection->waiting_since())) {
            // Until this loop's next sweep the others would hand theirs here.
            if (local == connections_.end()) mailbox_.publish_oldest_waiting(std::nullopt);
            other->post({std::move(socket), address, hops + 1});
            return;
        }
        if (local != connections_.end()) {
            // The place changes hands under one lock: freed and taken again
            // in two steps, another loop's newcomer could take it in between.
            verdict = counts_.take_place_of(local->second.connection->peer().limit_key, peer.limit_key);
            if (verdict == ConnectionCounts::Admission::admitted) {
                const std::uint64_t id = local->first;
                local->second.connection->expire(context());
                destroy(id, false);
            }
        }
        publish_longest_waiting();
    }
    if (verdict != ConnectionCounts::Admission::admitted) {
        refuse(socket.get(), peer, verdict);
        return;
    }
    const int yes = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::unique_ptr<Transport> transport;
    if (tls_) {
        auto session = tls_->new_session();
        if (session) transport = tls_transport(std::move(socket), std::move(session));
    } else {
        transport = plain_transport(std::move(socket));
    }
    const std::uint64_t id = next_id_++;
    if (!transport || !watch(transport->fd(), EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, id)) {
        counts_.release(peer.limit_key);
        return;
    }
    auto connection = std::make_unique<Connection>(std::move(transport), std::move(peer), tls_ != nullptr, context());
    // A loop that published "nobody waits" must not be passed over until its next sweep.
    if (!mailbox_.oldest_waiting()) mailbox_.publish_oldest_waiting(connection->waiting_since());
    connections_.emplace(id, Entry{std::move(connection)});
    peak_connections_ = std::max(peak_connections_, connections_.size());
    // A client's request (or ClientHello) has usually come with the
    // connection: read it now, so under a flood of newcomers it does not wait
    // in line until it is the longest-waiting connection and is evicted.
    drive(id);
}

std::unordered_map<std::uint64_t, EventLoop::Entry>::iterator EventLoop::longest_waiting() {
    auto oldest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        const Connection& connection = *it->second.connection;
        if (connection.awaits_request() &&
            (oldest == connections_.end() || connection.waiting_since() < oldest->second.connection->waiting_since())) {
            oldest = it;
        }
    }
    return oldest;
}

// The longest-waiting connection, once it has been seen to wait still: a
// loop that runs behind its events may not yet have read the TLS handshake's
// end or the request that a client has sent, and would evict a client that
// no longer waits.
std::unordered_map<std::uint64_t, EventLoop::Entry>::iterator EventLoop::evictable() {
    auto candidate = longest_waiting();
    for (int look = 1; look < looks_before_evicting && candidate != connections_.end(); ++look) {
        const std::uint64_t id = candidate->first;
        const Clock::time_point since = candidate->second.connection->waiting_since();
        drive(id);
        const auto found = connections_.find(id);
        if (found != connections_.end() && found->second.connection->awaits_request() &&
            found->second.connection->waiting_since() == since) {
            return found;
        }
        candidate = longest_waiting();
    }
    return candidate;
}

// Another loop's, as published at its last sweep.
LoopMailbox* EventLoop::mailbox_of_longest_waiting() {
    LoopMailbox* found = nullptr;
    for (const auto& mailbox : mailboxes_) {
        if (mailbox.get() == &mailbox_ || !mailbox->oldest_waiting()) continue;
        if (!found || *mailbox->oldest_waiting() < *found->oldest_waiting()) found = mailbox.get();
    }
    return found;
}

// A best-effort 503 before the close, on plain HTTP only: on TLS nothing can
// be said before a handshake the server has no room for. What the client has
// sent already is read away first, so the close is not a reset that could
// destroy the answer on its way. Either way the refusal is logged, as 503
// with the bytes said (none on TLS).
void EventLoop::refuse(int fd, const Peer& peer, ConnectionCounts::Admission verdict) {
    if (tls_) {
        log_request(peer, "-", "-", 503, 0);
        return;
    }
    char discard[4096];
    int reads = 0;
    while (reads++ < 4 && ::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) continue;
    const std::string body = verdict == ConnectionCounts::Admission::client_full
                                 ? "too many connections from your address\n"
                                 : "too many connections\n";
    const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nDate: " + date_ +
                               "\r\nContent-Type: text/plain; charset=us-ascii\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\nRetry-After: 10\r\nConnection: close\r\n\r\n" + body;
    const ssize_t sent = ::send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    const std::size_t head_bytes = answer.size() - body.size();
    log_request(peer, "-", "-", 503, sent > 0 && static_cast<std::size_t>(sent) > head_bytes ? sent - head_bytes : 0);
}

void EventLoop::drive(std::uint64_t id) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;  // closed earlier in this turn
    switch (found->second.connection->advance(context())) {
    case Connection::Step::wait:
        break;
    case Connection::Step::yield:
        if (!found->second.queued) {
            found->second.queued = true;
            queue_.push_back(id);
        }
        break;
    case Connection::Step::close:
        destroy(id);
        break;
    }
}

// Without `release_count` when a newcomer has taken the connection's place.
void EventLoop::destroy(std::uint64_t id, bool release_count) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;
    if (release_count) counts_.release(found->second.connection->peer().limit_key);
    connections_.erase(found);  // closes the socket, which also leaves the epoll set
}

void EventLoop::sweep() {
    std::vector<std::uint64_t> expired;
    for (const auto& [id, entry] : connections_) {
        if (entry.connection->deadline() <= now_) expired.push_back(id);
    }
    for (const std::uint64_t id : expired) {
        connections_.at(id).connection->expire(context());
        destroy(id);
    }
    if (accept_paused_ && now_ >= accept_paused_until_ && watch_listener()) accept_paused_ = false;
    return_freed_memory();
    publish_longest_waiting();
}

// At every sweep, and at once after this loop made room.
void EventLoop::publish_longest_waiting() {
    const auto oldest = longest_waiting();
    mailbox_.publish_oldest_waiting(oldest == connections_.end()
                                        ? std::nullopt
                                        : std::optional{oldest->second.connection->waiting_since()});
}

// glibc keeps freed memory in its arenas for reuse; after a burst, most of
// it would stay resident for good.
void EventLoop::return_freed_memory() {
    if (peak_connections_ >= trim_after_connections && connections_.size() <= peak_connections_ / 4) {
        ::malloc_trim(0);
        peak_connections_ = connections_.size();
    }
}

// One loop per processor this process may run on, at most max_loops.
unsigned loop_count() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int available = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    return std::clamp(static_cast<unsigned>(available), 1u, max_loops);
}

}  // namespace

Result run_event_server(int listener, const SiteRoot& root, const TlsContext* tls, const ServeSettings& settings,
                        const sigset_t& stop_signals) {
    // The loops end when `stop` becomes readable: after a stop signal, or
    // when one loop fails. The stop signals stay blocked in every thread and
    // are taken here.
    const unique_fd stop{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    const unique_fd signals{::signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK)};
    if (!stop || !signals) return Result::failure(std::string{"cannot start: "} + std::strerror(errno));
    ConnectionCounts counts{settings.max_connections, settings.max_per_client};
    const unsigned count = loop_count();
    std::vector<std::unique_ptr<LoopMailbox>> mailboxes;
    for (unsigned i = 0; i < count; ++i) {
        mailboxes.push_back(std::make_unique<LoopMailbox>());
        if (!mailboxes.back()->valid()) return Result::failure(std::string{"cannot start: "} + std::strerror(errno));
    }
    std::vector<Result> results(count, Result::success());
    // Lives until every loop has ended, so their last lines reach the log.
    const LogThroughWriter log{STDOUT_FILENO, log_buffer_bytes};
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            EventLoop loop{listener, root, tls, settings, counts, *mailboxes[i], mailboxes};
            results[i] = loop.run(stop.get());
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(stop.get(), &one, sizeof one);
        });
    }
    pollfd waits[2] = {{signals.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
    while (::poll(waits, 2, -1) < 0 && errno == EINTR) {
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stop.get(), &one, sizeof one);
    for (auto& thread : threads) thread.join();
    for (auto& result : results) {
        if (!result) return result;
    }
    return Result::success();
}

}  // namespace virelo::tool
