#include "pe/pe_version.h"

#include "common/ascii.h"
#include "common/utf.h"
#include "pe/pe_format.h"

namespace virelo::tool {
namespace {

using namespace pe_format;

// One level of the resource tree: the entry with `id`, or the first entry
// when `id` is empty. Offsets are relative to the resource directory's RVA.
struct ResourceEntry {
    bool is_directory = false;
    std::uint32_t offset = 0;
};

std::optional<ResourceEntry> find_entry(const PeView& image, std::uint32_t root, std::uint32_t directory,
                                        std::optional<std::uint32_t> id) {
    const auto header = image.at_rva(root + directory, resource_directory_header_size);
    if (!header) return std::nullopt;
    const std::uint32_t named = read_u16(*header, resource_named_entries);
    const std::uint32_t ids = read_u16(*header, resource_id_entries);
    const auto entries =
        image.at_rva(root + directory + resource_directory_header_size, (named + ids) * resource_entry_size);
    if (!entries) return std::nullopt;
    for (std::uint32_t i = 0; i < named + ids; ++i) {
        const std::uint32_t name = read_u32(*entries, i * resource_entry_size);
        const std::uint32_t target = read_u32(*entries, i * resource_entry_size + 4);
        if (id && ((name & resource_subdirectory_flag) != 0 || name != *id)) continue;
        return ResourceEntry{(target & resource_subdirectory_flag) != 0, target & ~resource_subdirectory_flag};
    }
    return std::nullopt;
}

std::size_t align4(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

// One node of the VS_VERSIONINFO tree: wLength, wValueLength, wType, a
// NUL-terminated UTF-16 key, then the value and the children, each on a
// 4-byte boundary of the block.
struct VersionNode {
    std::string key;
    std::string_view value;
    bool is_text = false;
    std::size_t children_begin = 0;
    std::size_t end = 0;
};

std::u16string utf16_until_nul(std::string_view bytes) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto unit = static_cast<char16_t>(read_u16(bytes, i));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

std::optional<VersionNode> parse_node(std::string_view block, std::size_t at, std::size_t limit) {
    if (at + 6 > limit) return std::nullopt;
    const std::size_t length = read_u16(block, at);
    if (length < 6 || at + length > limit) return std::nullopt;
    const std::size_t value_length = read_u16(block, at + 2);
    VersionNode node;
    node.is_text = read_u16(block, at + 4) == 1;
    node.end = at + length;
    const std::u16string key = utf16_until_nul(block.substr(at + 6, length - 6));
    node.key = utf16_to_utf8(key);
    const std::size_t value_begin = std::min(align4(at + 6 + (key.size() + 1) * 2), node.end);
    // A text's length counts UTF-16 units (some compilers count bytes; the
    // text ends at its NUL either way).
    const std::size_t value_size = std::min(node.is_text ? value_length * 2 : value_length, node.end - value_begin);
    node.value = block.substr(value_begin, value_size);
    node.children_begin = std::min(align4(value_begin + value_size), node.end);
    return node;
}

// Calls `visit` for each child of `parent`; false when the children do not fit.
template <typename Visit>
bool for_each_child(std::string_view block, const VersionNode& parent, Visit visit) {
    std::size_t at = parent.children_begin;
    while (at + 6 <= parent.end) {
        const auto child = parse_node(block, at, parent.end);
        if (!child) return false;
        visit(*child);
        at = align4(child->end);
    }
    return true;
}

std::string dotted(std::uint32_t high, std::uint32_t low) {
    return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
           std::to_string(low & 0xFFFF);
}

// "1.2.0.0" also reads as "1.2.0" and "1.2".
bool matches_fixed(std::string_view version, std::string_view fixed) {
    std::string shorter{fixed};
    for (int dropped = 0; dropped <= 2; ++dropped) {
        if (version == shorter) return true;
        if (!shorter.ends_with(".0")) return false;
        shorter.resize(shorter.size() - 2);
    }
    return false;
}

}  // namespace

Expected<std::optional<VersionResource>> read_version_resource(const PeView& image) {
    using Out = Expected<std::optional<VersionResource>>;
    const auto directory = image.directory(resource_directory);
    if (!directory) return std::optional<VersionResource>{};
    const std::uint32_t root = directory->address;
    const auto type = find_entry(image, root, 0, rt_version);
    if (!type) return std::optional<VersionResource>{};
    const auto name = type->is_directory ? find_entry(image, root, type->offset, std::nullopt) : std::nullopt;
    const auto language = name && name->is_directory ? find_entry(image, root, name->offset, std::nullopt)
                                                     : std::nullopt;
    const auto entry = language && !language->is_directory ? image.at_rva(root + language->offset, resource_data_entry_size)
                                                           : std::nullopt;
    const std::string damaged = "the version resource is damaged";
    if (!entry) return Out::failure(damaged);
    const auto block = image.at_rva(read_u32(*entry, 0), read_u32(*entry, 4));
    if (!block) return Out::failure(damaged);

    const auto info = parse_node(*block, 0, block->size());
    if (!info || info->key != "VS_VERSION_INFO" || info->value.size() < fixed_file_info_size ||
        read_u32(info->value, 0) != fixed_file_info_signature) {
        return Out::failure(damaged + " (no VS_VERSION_INFO with a fixed part)");
    }
    VersionResource resource;
    resource.fixed_file_version =
        dotted(read_u32(info->value, fixed_file_version), read_u32(info->value, fixed_file_version + 4));
    resource.fixed_product_version =
        dotted(read_u32(info->value, fixed_product_version), read_u32(info->value, fixed_product_version + 4));
    bool nested_fit = true;
    const auto read_string = [&](const VersionNode& string) {
        if (string.key != "FileVersion" && string.key != "ProductVersion") return;
        resource.texts.emplace_back(string.key, std::string{trim_blanks(utf16_to_utf8(utf16_until_nul(string.value)))});
    };
    const auto read_table = [&](const VersionNode& table) {
        if (!for_each_child(*block, table, read_string)) nested_fit = false;
    };
    const bool fit = for_each_child(*block, *info, [&](const VersionNode& child) {
        if (child.key == "StringFileInfo" && !for_each_child(*block, child, read_table)) nested_fit = false;
    });
    if (!fit || !nested_fit) return Out::failure(damaged + " (a string table does not fit)");
    return std::optional<VersionResource>{std::move(resource)};
}

bool version_matches(std::string_view version, const VersionResource& resource) {
    for (const auto& [key, text] : resource.texts) {
        if (version == text) return true;
    }
    return matches_fixed(version, resource.fixed_product_version) ||
           matches_fixed(version, resource.fixed_file_version);
}

std::string describe_versions(const VersionResource& resource) {
    std::string text;
    for (const auto& [key, value] : resource.texts) {
        text += (text.empty() ? "" : ", ") + key + " \"" + value + "\"";
    }
    if (text.empty()) text = "no version texts";
    return text + "; fixed ProductVersion " + resource.fixed_product_version;
}

}  // namespace virelo::tool
