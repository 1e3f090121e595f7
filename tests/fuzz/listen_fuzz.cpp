// serve's --listen HOST:PORT parser.

#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "server/listen_address.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("listen_fuzz", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text{virelo::fuzz::text_of(data, size)};
    const auto parsed = virelo::tool::parse_listen(text);
    if (!parsed) {
        check(!parsed.error().empty(), "a refusal without a message");
        return 0;
    }
    const auto& address = parsed.value();
    check(address.port >= 0 && address.port <= 65535, "port out of range");
    check(!address.host.empty(), "empty host");
    // HOST:PORT exactly, the port in at most five digits.
    const std::string port_text = text.substr(address.host.size() + 1);
    check(text.compare(0, address.host.size(), address.host) == 0 && text[address.host.size()] == ':', "host");
    check(!port_text.empty() && port_text.size() <= 5 &&
              port_text.find_first_not_of("0123456789") == std::string::npos && std::stoi(port_text) == address.port,
          "port text");
    // A colon in the host only inside brackets, which the bind host drops.
    const bool bracketed = address.host.size() >= 2 && address.host.front() == '[' && address.host.back() == ']';
    if (bracketed) {
        check(address.bind_host == address.host.substr(1, address.host.size() - 2), "bracketed bind host");
    } else {
        check(address.host.find(':') == std::string::npos, "a bare IPv6 host");
        check(address.bind_host == address.host, "bind host");
    }
    return 0;
}
