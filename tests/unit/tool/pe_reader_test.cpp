#include "pe/pe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "pe/pe_format.h"

namespace virelo::tool {
namespace {

using namespace pe_format;

void put_u16(std::string& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}
void put_u32(std::string& bytes, std::size_t at, std::uint32_t value) {
    put_u16(bytes, at, static_cast<std::uint16_t>(value & 0xFFFF));
    put_u16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// A PE32+ image: headers at 0, one section of 0x200 file bytes at file offset
// 0x200 mapped at RVA 0x1000, and a resource directory entry pointing into it.
constexpr std::size_t pe_at = 0x40;
constexpr std::size_t coff_at = pe_at + 4;
constexpr std::size_t optional_at = coff_at + coff_header_size;
constexpr std::uint16_t optional_size = 112 + 16 * 8;  // PE32+ fields, then 16 directories
constexpr std::size_t sections_at = optional_at + optional_size;

std::string small_image() {
    std::string bytes(0x400, '\0');
    bytes.replace(0, 2, dos_magic);
    put_u32(bytes, e_lfanew, pe_at);
    bytes.replace(pe_at, 4, pe_signature);
    put_u16(bytes, coff_at + coff_number_of_sections, 1);
    put_u16(bytes, coff_at + coff_size_of_optional_header, optional_size);
    put_u16(bytes, optional_at, pe32_plus_magic);
    put_u32(bytes, optional_at + pe32_plus_number_of_rva_and_sizes, 16);
    const std::size_t resource_entry = optional_at + pe32_plus_number_of_rva_and_sizes + 4 + resource_directory * 8;
    put_u32(bytes, resource_entry, 0x1010);
    put_u32(bytes, resource_entry + 4, 0x20);
    put_u32(bytes, sections_at + section_virtual_size, 0x200);
    put_u32(bytes, sections_at + section_virtual_address, 0x1000);
    put_u32(bytes, sections_at + section_size_of_raw_data, 0x200);
    put_u32(bytes, sections_at + section_pointer_to_raw_data, 0x200);
    bytes[0x210] = 'R';
    return bytes;
}

TEST(PeReader, ReadsDirectoriesAndSectionData) {
    const std::string bytes = small_image();
    const auto image = PeView::parse(bytes, "small.exe");
    ASSERT_TRUE(image) << image.error();
    const auto resources = image.value().directory(resource_directory);
    ASSERT_TRUE(resources);
    EXPECT_EQ(resources->address, 0x1010u);
    EXPECT_FALSE(image.value().directory(certificate_directory));  // zero: absent
    EXPECT_FALSE(image.value().directory(16));

    EXPECT_EQ(image.value().at_rva(0x1010, 1), "R");
    EXPECT_EQ(image.value().offset_of_rva(0x1010), 0x210u);
    EXPECT_EQ(image.value().at_rva(0x11FF, 1)->size(), 1u);
    EXPECT_FALSE(image.value().at_rva(0x11FF, 2));  // runs past the section's file data
    EXPECT_FALSE(image.value().at_rva(0xFFF, 1));   // before every section
    EXPECT_FALSE(image.value().at_rva(0xFFFFFFFF, 0xFFFFFFFF));
}

TEST(PeReader, DamagedHeadersTable) {
    struct Case {
        std::string_view why;
        std::function<void(std::string&)> damage;
        std::string_view reason;
    };
    const Case cases[] = {
        {"too short", [](std::string& b) { b.resize(dos_header_size - 1); }, "no MZ header"},
        {"no MZ", [](std::string& b) { b[0] = 'Z'; }, "no MZ header"},
        {"e_lfanew past the end", [](std::string& b) { put_u32(b, e_lfanew, 0xFFFFFFF0); }, "no PE signature"},
        {"no PE signature", [](std::string& b) { b[pe_at] = 'X'; }, "no PE signature"},
        {"optional header past the end",
         [](std::string& b) { put_u16(b, coff_at + coff_size_of_optional_header, 0xFFFF); }, "optional header"},
        {"unknown magic", [](std::string& b) { put_u16(b, optional_at, 0x107); }, "magic"},
        {"section table past the end", [](std::string& b) { put_u16(b, coff_at + coff_number_of_sections, 0xFFFF); },
         "section table"},
    };
    for (const auto& c : cases) {
        std::string bytes = small_image();
        c.damage(bytes);
        const auto image = PeView::parse(bytes, "bad.exe");
        ASSERT_FALSE(image) << c.why;
        EXPECT_NE(image.error().find("bad.exe is not a Windows executable"), std::string::npos) << c.why;
        EXPECT_NE(image.error().find(c.reason), std::string::npos) << c.why << ": " << image.error();
    }
}

TEST(PeReader, DirectoryCountIsBoundedByTheOptionalHeader) {
    // A declared count larger than the room the optional header has: only the
    // directories that fit are read, none from the section table after it.
    std::string bytes = small_image();
    put_u32(bytes, optional_at + pe32_plus_number_of_rva_and_sizes, 0xFFFFFFFF);
    put_u16(bytes, coff_at + coff_size_of_optional_header, 112 + 3 * 8);
    const auto image = PeView::parse(bytes, "small.exe");
    ASSERT_TRUE(image) << image.error();
    EXPECT_TRUE(image.value().directory(resource_directory));
    EXPECT_FALSE(image.value().directory(certificate_directory));
}

}  // namespace
}  // namespace virelo::tool
