#pragma once
// The PE/COFF layout the tool reads: every offset and magic number in one
// place, named as Microsoft's PE format documentation names them, so the
// header check, the image reader, the version resource and the certificate
// table never disagree about where a field sits.

#include <cstdint>
#include <string_view>

namespace virelo::tool::pe_format {

// DOS header
inline constexpr std::uint64_t dos_header_size = 64;
inline constexpr std::string_view dos_magic = "MZ";
inline constexpr std::uint64_t e_lfanew = 0x3C;

// "PE\0\0", then the COFF file header
inline constexpr std::string_view pe_signature{"PE\0\0", 4};
inline constexpr std::uint64_t coff_header_size = 20;
inline constexpr std::uint64_t coff_number_of_sections = 2;
inline constexpr std::uint64_t coff_size_of_optional_header = 16;

// Optional header
inline constexpr std::uint16_t pe32_magic = 0x10B;
inline constexpr std::uint16_t pe32_plus_magic = 0x20B;
inline constexpr std::uint64_t pe32_number_of_rva_and_sizes = 92;
inline constexpr std::uint64_t pe32_plus_number_of_rva_and_sizes = 108;
inline constexpr std::uint64_t data_directory_size = 8;  // VirtualAddress, Size
inline constexpr std::uint64_t max_data_directories = 16;
inline constexpr int resource_directory = 2;
inline constexpr int certificate_directory = 4;

// Section table
inline constexpr std::uint64_t section_header_size = 40;
inline constexpr std::uint64_t section_virtual_size = 8;
inline constexpr std::uint64_t section_virtual_address = 12;
inline constexpr std::uint64_t section_size_of_raw_data = 16;
inline constexpr std::uint64_t section_pointer_to_raw_data = 20;

// Resource tree
inline constexpr std::uint32_t rt_version = 16;
inline constexpr std::uint32_t resource_directory_header_size = 16;
inline constexpr std::uint32_t resource_named_entries = 12;
inline constexpr std::uint32_t resource_id_entries = 14;
inline constexpr std::uint32_t resource_entry_size = 8;  // name or id, then offset
inline constexpr std::uint32_t resource_subdirectory_flag = 0x80000000;
inline constexpr std::uint32_t resource_data_entry_size = 16;  // OffsetToData (an RVA), Size, ...

// VS_FIXEDFILEINFO
inline constexpr std::uint32_t fixed_file_info_signature = 0xFEEF04BD;
inline constexpr std::size_t fixed_file_info_size = 52;
inline constexpr std::size_t fixed_file_version = 8;     // MS, then LS
inline constexpr std::size_t fixed_product_version = 16;  // MS, then LS

// WIN_CERTIFICATE in the certificate table
inline constexpr std::size_t win_certificate_header = 8;  // dwLength, wRevision, wCertificateType
inline constexpr std::uint16_t win_cert_revision_2 = 0x0200;
inline constexpr std::uint16_t win_cert_type_pkcs_signed_data = 0x0002;

}  // namespace virelo::tool::pe_format
