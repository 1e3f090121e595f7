// The command line's choice of the release site: arguments as a hostile
// shortcut or script could write them (fields cut at NUL bytes).

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "release/site.h"

namespace {

constexpr std::string_view default_site = "https://releases.example.com/virelo/";

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("site_fuzz", what);
}

std::string lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> args = virelo::fuzz::fields_of(virelo::fuzz::text_of(data, size), '\0');
    const virelo::SiteChoice choice = virelo::choose_site(args, default_site);
    check(choice.site == virelo::resolve_site(args, default_site), "resolve_site disagrees with choose_site");
    check(!choice.reason.empty(), "no reason given");

    const auto option = std::find(args.begin(), args.end(), "--site");
    if (choice.site == default_site) return 0;
    // Anything else is the value after the first "--site", with its '/'.
    check(option != args.end() && option + 1 != args.end(), "a site without --site");
    std::string expected = *(option + 1);
    if (expected.back() != '/') expected += '/';
    check(choice.site == expected, "the site is not the --site value");
    check(choice.site.back() == '/', "the site does not end in /");
    const std::string lower = lowered(choice.site);
    constexpr std::array<std::string_view, 3> accepted = {"https://", "http://127.0.0.1", "http://localhost"};
    check(std::any_of(accepted.begin(), accepted.end(), [&](std::string_view p) { return lower.starts_with(p); }),
          "a site with a refused scheme or host");
    return 0;
}
