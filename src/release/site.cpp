#include "release/site.h"

#include <algorithm>
#include <array>

namespace virelo {

std::string resolve_site(std::span<const std::string> args, std::string_view default_site) {
    // Only the first "--site" counts, spelt exactly so, even if its value is rejected.
    const auto option = std::find(args.begin(), args.end(), "--site");
    if (option == args.end() || option + 1 == args.end()) return std::string{default_site};

    std::string candidate = *(option + 1);
    if (candidate.empty() || candidate.back() != '/') candidate += '/';

    std::string lowered = candidate;
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    // Plain http is only for a server on this machine.
    constexpr std::array<std::string_view, 3> accepted = {"https://", "http://127.0.0.1",
                                                          "http://localhost"};
    for (const auto prefix : accepted) {
        if (std::string_view{lowered}.starts_with(prefix)) return candidate;
    }
    return std::string{default_site};
}

}  // namespace virelo
