#pragma once
// Command-line handling shared by the subcommands.

#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace virelo::tool {

inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

struct Options {
    std::map<std::string, std::string, std::less<>> values;
    std::set<std::string, std::less<>> flags;
    std::vector<std::string> positional;

    bool has(std::string_view name) const { return values.find(name) != values.end(); }
    const std::string& get(std::string_view name) const { return values.find(name)->second; }
    std::optional<std::string> get_optional(std::string_view name) const {
        return has(name) ? std::optional<std::string>{get(name)} : std::nullopt;
    }
    bool flag(std::string_view name) const { return flags.find(name) != flags.end(); }
};

// Options written "--name value" or "--name=value", each at most once, every
// one in `known`; flags (`flags`, no value) at most once; exactly
// `positional` other arguments.
Expected<Options> parse_options(const std::vector<std::string>& args, std::initializer_list<std::string_view> known,
                                std::size_t positional = 0, std::initializer_list<std::string_view> flags = {});

// Prints "virelo-release: <message>" on stderr and returns the exit code.
int fail(std::string_view message, int code = exit_failure);

}  // namespace virelo::tool
