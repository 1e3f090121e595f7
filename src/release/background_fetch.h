#pragma once
// A small answer (the manifest or its signature) fetched on a thread of its
// own, so that both requests of a source travel at once and the caller can
// stop waiting at its deadline whatever the site does.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "release/http_client.h"

namespace virelo {

class BackgroundFetch {
public:
    using Body = std::vector<std::uint8_t>;

    // Starts the GET at once. The session is shared with the thread, which
    // may outlive this object: a fetch that is walked away from ends by
    // itself at the limits' deadline and its answer is dropped.
    BackgroundFetch(std::shared_ptr<const HttpSession> session, std::string url, TransferLimits limits);
    BackgroundFetch(const BackgroundFetch&) = delete;
    BackgroundFetch& operator=(const BackgroundFetch&) = delete;

    // The answer once it has arrived; nothing when `deadline` came first.
    std::optional<Expected<Body>> wait_until(SteadyClock::time_point deadline);

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable arrived;
        std::optional<Expected<Body>> answer;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace virelo
