#include "install/registration_values.h"

#include "common/freshness.h"

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

Expected<std::uint64_t> recorded_serial(std::uint32_t type, std::span<const std::uint8_t> data) {
    using Out = Expected<std::uint64_t>;
    if (type != registry_qword_type) return Out::failure("not a REG_QWORD (type " + std::to_string(type) + ")");
    if (data.size() != 8) return Out::failure(std::to_string(data.size()) + " bytes, not 8");
    std::uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;) value = (value << 8) | data[i];
    if (value == 0 || value > max_serial) {
        return Out::failure(std::to_string(value) + " is outside 1 to " + std::to_string(max_serial));
    }
    return value;
}

}  // namespace virelo
