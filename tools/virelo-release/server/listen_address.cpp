#include "server/listen_address.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/decimal.h"

namespace virelo::tool {

Expected<ListenAddress> parse_listen(const std::string& text) {
    using Out = Expected<ListenAddress>;
    const auto colon = text.rfind(':');
    const std::string bad = "--listen wants HOST:PORT (for example 127.0.0.1:8080), not \"" + text + "\"";
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return Out::failure(bad);
    ListenAddress address;
    address.host = text.substr(0, colon);
    address.bind_host = address.host;
    if (address.host.front() == '[' && address.host.back() == ']') {
        address.bind_host = address.host.substr(1, address.host.size() - 2);
    } else if (address.host.find(':') != std::string::npos) {
        return Out::failure(bad + " (write an IPv6 address in brackets)");
    }
    const std::string port = text.substr(colon + 1);
    // At most five digits, as ever: "000080" is refused, not read as 80.
    const auto number = port.size() <= 5 ? parse_decimal<std::uint16_t>(port) : std::nullopt;
    if (!number) return Out::failure(bad);
    address.port = *number;
    return address;
}

Expected<Listener> open_listener(const ListenAddress& address) {
    using Out = Expected<Listener>;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    if (const int error = ::getaddrinfo(address.bind_host.c_str(), port.c_str(), &hints, &found); error != 0) {
        return Out::failure(::gai_strerror(error));
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner{found, &::freeaddrinfo};
    int last_error = EADDRNOTAVAIL;
    for (const addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
        unique_fd socket{::socket(candidate->ai_family, candidate->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                  candidate->ai_protocol)};
        if (!socket) {
            last_error = errno;
            continue;
        }
        const int yes = 1;
        ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(socket.get(), candidate->ai_addr, candidate->ai_addrlen) != 0 ||
            ::listen(socket.get(), SOMAXCONN) != 0) {
            last_error = errno;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            last_error = errno;
            continue;
        }
        const int bound_port = bound.ss_family == AF_INET6
                                   ? ntohs(reinterpret_cast<const sockaddr_in6&>(bound).sin6_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
        return Listener{std::move(socket), bound_port};
    }
    return Out::failure(std::strerror(last_error));
}

}  // namespace virelo::tool
