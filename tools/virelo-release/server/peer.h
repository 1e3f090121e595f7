#pragma once
// The other end of a connection: how the log shows it, and the key that
// connection limits count it under.

#include <sys/socket.h>

#include <string>

namespace virelo::tool {

struct Peer {
    std::string address;  // "127.0.0.1" or "::1"
    unsigned port = 0;
    // The IPv4 address, or the /64 prefix of an IPv6 one: one host commonly
    // holds a whole /64, so counting single IPv6 addresses would limit nothing.
    std::string limit_key;
};

Peer describe_peer(const sockaddr_storage& address);

// "127.0.0.1:50412" or "[::1]:50412".
std::string peer_text(const Peer& peer);

}  // namespace virelo::tool
