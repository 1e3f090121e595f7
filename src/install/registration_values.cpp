#include "install/registration_values.h"

namespace virelo {

std::uint32_t estimated_size_kb(std::uint64_t size_bytes) {
    return static_cast<std::uint32_t>((size_bytes >> 10) + 400);
}

std::string uninstall_command(std::string_view setup_copy) {
    std::string command = "\"";
    command += setup_copy;
    command += "\" --uninstall";
    return command;
}

}  // namespace virelo
