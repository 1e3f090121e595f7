#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "install/image_match.h"
#include "install/registration_values.h"

namespace virelo {
namespace {

TEST(EstimatedSize, KilobytesRoundedDownPlus400In32Bits) {
    struct Case {
        std::uint64_t bytes;
        std::uint32_t kb;
    };
    const Case cases[] = {
        {0, 400},
        {1023, 400},
        {1024, 401},
        {10ull * 1024 * 1024, 10 * 1024 + 400},
        {(1ull << 42) + 1024, 401},  // the sum wraps at 32 bits
        {~0ull, 399},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(estimated_size_kb(c.bytes), c.kb);
    }
}

TEST(UninstallCommand, QuotesThePathAndAddsTheOption) {
    EXPECT_EQ(uninstall_command("C:\\Users\\a b\\AppData\\Local\\Programs\\Virelo\\VireloSetup.exe"),
              "\"C:\\Users\\a b\\AppData\\Local\\Programs\\Virelo\\VireloSetup.exe\" --uninstall");
    EXPECT_EQ(uninstall_command(""), "\"\" --uninstall");
}

// A recorded serial a release could never carry would refuse every release
// as older; such a value counts as no record.
TEST(RecordedSerial, OnlyAnEightByteQwordInTheSerialRange) {
    const auto qword = [](std::uint64_t value) {
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        return bytes;
    };
    struct Case {
        const char* name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
        std::optional<std::uint64_t> serial;  // nothing: ignored
    };
    const Case cases[] = {
        {"one", registry_qword_type, qword(1), 1},
        {"a usual one", registry_qword_type, qword(0x0102030405ull), 0x0102030405ull},
        {"2^53, the largest a release carries", registry_qword_type, qword(1ull << 53), 1ull << 53},
        {"2^53 + 1", registry_qword_type, qword((1ull << 53) + 1), std::nullopt},
        {"2^64 - 1", registry_qword_type, qword(~0ull), std::nullopt},
        {"zero", registry_qword_type, qword(0), std::nullopt},
        {"16 bytes", registry_qword_type, std::vector<std::uint8_t>(16, 0), std::nullopt},
        {"4 bytes", registry_qword_type, {5, 0, 0, 0}, std::nullopt},
        {"no bytes", registry_qword_type, {}, std::nullopt},
        {"a DWORD", 4, {5, 0, 0, 0}, std::nullopt},
        {"binary of 8 bytes", 3, qword(5), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto serial = recorded_serial(c.type, c.data);
        EXPECT_EQ(serial.ok(), c.serial.has_value());
        if (serial && c.serial) EXPECT_EQ(serial.value(), *c.serial);
        if (!serial) EXPECT_FALSE(serial.error().empty());
    }
}

TEST(ExeNamesMatch, SameByteLengthAndAsciiFoldingOnly) {
    struct Case {
        const char* snapshot;
        const char* file;
        bool match;
    };
    const Case cases[] = {
        {"Virelo.exe", "Virelo.exe", true},
        {"VIRELO.EXE", "virelo.exe", true},
        {"Virelo.exe", "Virelo.ex", false},
        {"Virelo.exe", "Virelo.exe.new", false},
        {"Virelo.exe", "Virelo_exe", false},
        // Only A-Z are folded: other letters must match byte for byte.
        {"\xC3\x84rger.exe", "\xC3\xA4rger.exe", false},  // Ä / ä
        {"\xC3\x84rger.exe", "\xC3\x84RGER.EXE", true},
        {"", "", true},
        {"Virelo.exe", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string{c.snapshot} + " / " + c.file);
        EXPECT_EQ(exe_names_match(c.snapshot, c.file), c.match);
    }
}

}  // namespace
}  // namespace virelo
