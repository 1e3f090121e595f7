#include "server/connection_counts.h"

namespace virelo::tool {

ConnectionCounts::Admission ConnectionCounts::admit(const std::string& client) {
    const std::lock_guard lock{mutex_};
    const auto entry = per_client_.try_emplace(client, 0).first;
    Admission verdict = Admission::admitted;
    if (entry->second >= max_per_client_) verdict = Admission::client_full;
    else if (total_ >= max_total_) verdict = Admission::server_full;
    if (verdict != Admission::admitted) {
        if (entry->second == 0) per_client_.erase(entry);
        return verdict;
    }
    ++entry->second;
    ++total_;
    return verdict;
}

ConnectionCounts::Admission ConnectionCounts::take_place_of(const std::string& leaving, const std::string& client) {
    const std::lock_guard lock{mutex_};
    const auto left = per_client_.find(leaving);
    if (left == per_client_.end()) return Admission::server_full;
    if (leaving == client) return Admission::admitted;
    if (const auto found = per_client_.find(client); found != per_client_.end() && found->second >= max_per_client_) {
        return Admission::client_full;
    }
    if (--left->second == 0) per_client_.erase(left);
    ++per_client_[client];
    return Admission::admitted;
}

void ConnectionCounts::release(const std::string& client) {
    const std::lock_guard lock{mutex_};
    const auto found = per_client_.find(client);
    if (found == per_client_.end()) return;
    --total_;
    if (--found->second == 0) per_client_.erase(found);
}

}  // namespace virelo::tool
