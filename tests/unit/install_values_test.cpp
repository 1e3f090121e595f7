#include <gtest/gtest.h>

#include <cstdint>

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
