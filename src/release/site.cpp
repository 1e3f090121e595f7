#include "release/site.h"

#include <algorithm>
#include <array>

#include "common/ascii.h"

namespace virelo {

SiteChoice choose_site(std::span<const std::string> args, std::string_view default_site) {
    // Only the first "--site" counts, spelt exactly so, even if its value is rejected.
    const auto option = std::find(args.begin(), args.end(), "--site");
    if (option == args.end()) return {std::string{default_site}, "the built-in site"};
    if (option + 1 == args.end()) return {std::string{default_site}, "the built-in site: --site had no value"};

    std::string candidate = *(option + 1);
    if (candidate.empty()) return {std::string{default_site}, "the built-in site: --site was empty"};
    if (candidate.back() != '/') candidate += '/';

    const std::string lowered = ascii_lower(candidate);
    // Plain http is only for a server on this machine.
    constexpr std::array<std::string_view, 3> accepted = {"https://", "http://127.0.0.1",
                                                          "http://localhost"};
    for (const auto prefix : accepted) {
        if (std::string_view{lowered}.starts_with(prefix)) return {candidate, "--site"};
    }
    const bool plain_http = std::string_view{lowered}.starts_with("http://");
    return {std::string{default_site},
            "the built-in site: --site " + *(option + 1) + " was refused (" +
                (plain_http ? "plain http is accepted only for 127.0.0.1 and localhost"
                            : "only https, or plain http to 127.0.0.1 and localhost, is accepted") +
                ")"};
}

std::string resolve_site(std::span<const std::string> args, std::string_view default_site) {
    return choose_site(args, default_site).site;
}

}  // namespace virelo
