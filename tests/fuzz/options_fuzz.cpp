// The publisher tool's option parser, on argument lists cut at NUL bytes; the
// first byte says how many folder arguments the command wants (0 to 2). Two
// of the options are flags, which take no value.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/cli.h"
#include "fuzz_input.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("options_fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t positional = data[0] % 3;
    const std::vector<std::string> args = virelo::fuzz::fields_of(virelo::fuzz::text_of(data + 1, size - 1), '\0');
    constexpr std::string_view known[] = {"--key", "--exe", "--version", "--name", "--out"};
    constexpr std::string_view flags[] = {"--force", "--dry-run"};
    const auto parsed = virelo::tool::parse_options(args, {"--key", "--exe", "--version", "--name", "--out"}, positional,
                                                    {"--force", "--dry-run"});
    if (!parsed) {
        check(!parsed.error().empty(), "a refusal without a message");
        return 0;
    }
    const auto& options = parsed.value();
    check(options.positional.size() == positional, "the number of folder arguments");
    for (const auto& [name, value] : options.values) {
        check(std::find(std::begin(known), std::end(known), name) != std::end(known), "an unknown option");
        check(!value.empty(), "an empty value");
        check(options.has(name) && options.get(name) == value, "lookup");
    }
    for (const auto& flag : options.flags) {
        check(std::find(std::begin(flags), std::end(flags), flag) != std::end(flags), "an unknown flag");
        check(std::find(args.begin(), args.end(), flag) != args.end(), "a flag that was not given");
        check(!options.has(flag), "a flag with a value");
    }
    for (const auto& arg : options.positional) {
        check(!arg.starts_with("--"), "an option taken as a folder");
        check(std::find(args.begin(), args.end(), arg) != args.end(), "a folder argument that was not given");
    }
    return 0;
}
