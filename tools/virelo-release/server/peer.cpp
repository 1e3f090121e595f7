#include "server/peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace virelo::tool {

Peer describe_peer(const sockaddr_storage& address) {
    Peer peer;
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        peer.port = ntohs(v4.sin_port);
        peer.address = text;
        peer.limit_key = peer.address;
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        peer.port = ntohs(v6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {  // an IPv4 client of a dual-stack socket
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
            peer.address = text;
            peer.limit_key = peer.address;
        } else {
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
            peer.address = text;
            in6_addr prefix{};
            std::memcpy(prefix.s6_addr, v6.sin6_addr.s6_addr, 8);
            char prefix_text[INET6_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET6, &prefix, prefix_text, sizeof prefix_text);
            peer.limit_key = std::string{prefix_text} + "/64";
        }
    } else {
        peer.address = "?";
        peer.limit_key = "?";
    }
    return peer;
}

std::string peer_text(const Peer& peer) {
    const bool v6 = peer.address.find(':') != std::string::npos;
    return (v6 ? "[" + peer.address + "]" : peer.address) + ":" + std::to_string(peer.port);
}

}  // namespace virelo::tool
