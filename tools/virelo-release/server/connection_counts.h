#pragma once
// Open connections, in total and per client key (see Peer::limit_key),
// shared by the event loops.

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace virelo::tool {

class ConnectionCounts {
public:
    ConnectionCounts(std::size_t max_total, std::size_t max_per_client)
        : max_total_{max_total}, max_per_client_{max_per_client} {}

    enum class Admission { admitted, client_full, server_full };

    // Counts the connection when admitted.
    Admission admit(const std::string& client);
    // When the server is full: `client`'s new connection takes the place of
    // one of `leaving`'s in the same step, so no other loop can take the
    // place in between. `leaving` keeps its connection when refused.
    Admission take_place_of(const std::string& leaving, const std::string& client);
    void release(const std::string& client);

private:
    const std::size_t max_total_;
    const std::size_t max_per_client_;
    std::mutex mutex_;
    std::size_t total_ = 0;
    std::unordered_map<std::string, std::size_t> per_client_;
};

}  // namespace virelo::tool
