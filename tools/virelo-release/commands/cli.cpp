#include "commands/cli.h"

#include <algorithm>
#include <cstdio>

namespace virelo::tool {

Expected<Options> parse_options(const std::vector<std::string>& args, std::initializer_list<std::string_view> known,
                                std::size_t positional, std::initializer_list<std::string_view> flags) {
    using Out = Expected<Options>;
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!arg.starts_with("--")) {
            options.positional.push_back(arg);
            continue;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        if (const auto equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            has_value = true;
        }
        if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            if (!options.flags.insert(arg).second) return Out::failure("option " + arg + " given twice");
            continue;
        }
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            return Out::failure("option " + name + " takes no value");
        }
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            return Out::failure("unknown option " + name + " (see --help)");
        }
        if (!has_value) {
            if (i + 1 == args.size()) return Out::failure("option " + name + " needs a value");
            value = args[++i];
        }
        if (value.empty()) return Out::failure("option " + name + " needs a non-empty value");
        if (!options.values.emplace(name, value).second) return Out::failure("option " + name + " given twice");
    }
    if (options.positional.size() != positional) {
        if (positional == 0) return Out::failure("unexpected argument " + options.positional.front());
        return Out::failure("expected " + std::to_string(positional) + " argument" + (positional == 1 ? "" : "s") +
                            " besides the options, got " + std::to_string(options.positional.size()));
    }
    return options;
}

int fail(std::string_view message, int code) {
    std::fprintf(stderr, "virelo-release: %.*s\n", static_cast<int>(message.size()), message.data());
    return code;
}

}  // namespace virelo::tool
