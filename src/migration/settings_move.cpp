#include "migration/settings_move.h"

#include <algorithm>

namespace virelo::legacy {
namespace {

// Registry names compare without regard to case.
bool is_launcher(std::string_view name) {
    constexpr std::string_view launcher = "launcher";
    return std::ranges::equal(name, launcher, [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

}  // namespace

ApplicationKey classify_application_key(std::size_t value_count, std::span<const std::string> subkeys) {
    if (value_count > 0) return ApplicationKey::with_settings;
    const bool only_launcher = std::ranges::all_of(subkeys, [](const std::string& name) { return is_launcher(name); });
    return only_launcher ? ApplicationKey::without_settings : ApplicationKey::with_settings;
}

bool should_copy_settings(bool staging_exists, ApplicationKey application) {
    // An earlier copy was cut short: whatever it merged into the application
    // key are legacy settings, not Virelo's own, and the copy starts over.
    if (staging_exists) return true;
    return application != ApplicationKey::with_settings;
}

}  // namespace virelo::legacy
