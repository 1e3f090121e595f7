// The resources of the built VireloSetup.exe, read back the way the system
// reads them: the icon group, the application manifest and the version
// information.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "support/canvas.h"
#include "support/process.h"
#include "window/gdi.h"

namespace virelo {
namespace {

struct module_traits {
    using type = HMODULE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::FreeLibrary(h); }
};
using unique_module = win::unique_resource<module_traits>;
using win::unique_icon;
using unique_bitmap = win::unique_gdi_object;

std::wstring setup_path() { return win::to_wide(test::setup_exe()); }

// The program as a resource file: nothing of it runs.
unique_module load_setup_resources() {
    return unique_module{LoadLibraryExW(setup_path().c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)};
}

std::string_view resource_bytes(HMODULE module, const wchar_t* type, const wchar_t* name) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return {};
    const void* data = LockResource(LoadResource(module, found));
    if (!data) return {};
    return {static_cast<const char*>(data), SizeofResource(module, found)};
}

// Integer ids of the resources of one type.
std::vector<WORD> resource_ids(HMODULE module, const wchar_t* type) {
    std::vector<WORD> ids;
    EnumResourceNamesW(
        module, type,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) -> BOOL {
            auto& out = *reinterpret_cast<std::vector<WORD>*>(param);
            out.push_back(IS_INTRESOURCE(name) ? LOWORD(reinterpret_cast<ULONG_PTR>(name)) : 0);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&ids));
    return ids;
}

std::vector<WORD> resource_languages(HMODULE module, const wchar_t* type, const wchar_t* name) {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(
        module, type, name,
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) -> BOOL {
            reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = load_setup_resources();
        ASSERT_TRUE(module_) << test::setup_exe() << ": error " << GetLastError();
    }
    HMODULE module() const { return module_.get(); }

private:
    unique_module module_;
};

// ---------------------------------------------------------------- icon

#pragma pack(push, 2)
struct GroupIconHeader {
    WORD reserved;
    WORD type;  // 1: icons
    WORD count;
};
struct GroupIconEntry {
    BYTE width;  // 0 means 256
    BYTE height;
    BYTE colour_count;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes_in_resource;
    WORD id;  // of the RT_ICON resource
};
#pragma pack(pop)

std::vector<GroupIconEntry> icon_group_entries(std::string_view group) {
    GroupIconHeader header{};
    if (group.size() < sizeof header) return {};
    std::memcpy(&header, group.data(), sizeof header);
    if (header.type != 1 || group.size() < sizeof header + header.count * sizeof(GroupIconEntry)) return {};
    std::vector<GroupIconEntry> entries(header.count);
    std::memcpy(entries.data(), group.data() + sizeof header, header.count * sizeof(GroupIconEntry));
    return entries;
}

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};
void PrintTo(const Rgb& c, std::ostream* out) { *out << "RGB(" << c.r << ", " << c.g << ", " << c.b << ")"; }

// Draws the icon as the progress window does (DrawIconEx, DI_NORMAL) onto the
// window's background and returns the pixels, top row first.
std::vector<Rgb> draw_on_window_background(HICON icon, int size) {
    test::Canvas canvas{size, size};
    if (!canvas) return {};
    canvas.fill(RGB(14, 14, 18));
    if (!DrawIconEx(canvas.dc(), 0, 0, icon, size, size, 0, nullptr, DI_NORMAL)) return {};

    std::vector<Rgb> out;
    out.reserve(size * size);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const COLORREF c = canvas.at(x, y);
            out.push_back({GetRValue(c), GetGValue(c), GetBValue(c)});
        }
    }
    return out;
}

TEST_F(ResourcesTest, IconGroupOneHasTheNineSizesIn32Bits) {
    const auto entries = icon_group_entries(resource_bytes(module(), RT_GROUP_ICON, MAKEINTRESOURCEW(1)));
    std::vector<int> sizes;
    for (const auto& entry : entries) {
        const int size = entry.width == 0 ? 256 : entry.width;
        sizes.push_back(size);
        EXPECT_EQ(entry.height, entry.width) << size;
        EXPECT_EQ(entry.bit_count, 32) << size;
        EXPECT_EQ(entry.planes, 1) << size;
        EXPECT_EQ(resource_bytes(module(), RT_ICON, MAKEINTRESOURCEW(entry.id)).size(), entry.bytes_in_resource)
            << size;
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 128, 256}));
    EXPECT_EQ(resource_ids(module(), RT_GROUP_ICON), std::vector<WORD>{1});
}

// Each image decodes at its own size, keeps its transparency, and shows the
// red tile and the white mark where the drawing puts them.
TEST_F(ResourcesTest, EveryIconImageDecodesToTheDrawing) {
    const auto entries = icon_group_entries(resource_bytes(module(), RT_GROUP_ICON, MAKEINTRESOURCEW(1)));
    ASSERT_EQ(entries.size(), 9u);
    for (const auto& entry : entries) {
        const int size = entry.width == 0 ? 256 : entry.width;
        SCOPED_TRACE("size " + std::to_string(size));
        const auto image = resource_bytes(module(), RT_ICON, MAKEINTRESOURCEW(entry.id));
        ASSERT_FALSE(image.empty());
        // The bytes are only read, though the declaration takes a mutable pointer.
        std::vector<BYTE> copy(image.begin(), image.end());
        unique_icon icon{CreateIconFromResourceEx(copy.data(), static_cast<DWORD>(copy.size()), TRUE,
                                                  0x00030000, size, size, LR_DEFAULTCOLOR)};
        ASSERT_TRUE(icon) << "error " << GetLastError();

        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon.get(), &info));
        unique_bitmap colour{info.hbmColor};
        unique_bitmap mask{info.hbmMask};
        BITMAP bm{};
        ASSERT_TRUE(colour);
        ASSERT_NE(GetObjectW(colour.get(), sizeof bm, &bm), 0);
        EXPECT_EQ(bm.bmWidth, size);
        EXPECT_EQ(bm.bmHeight, size);

        const auto pixels = draw_on_window_background(icon.get(), size);
        ASSERT_EQ(pixels.size(), static_cast<size_t>(size * size));
        const auto at = [&](double x, double y) {
            return pixels[static_cast<int>(y * size) * size + static_cast<int>(x * size)];
        };
        EXPECT_EQ(pixels[0], (Rgb{14, 14, 18}));  // outside the rounded tile: transparent
        const Rgb tile = at(0.5, 0.85);              // below the mark
        EXPECT_TRUE(tile.r > 150 && tile.g < 110 && tile.b < 130) << ::testing::PrintToString(tile);
        const Rgb mark = at(0.64, 0.40);  // on the right arm of the V
        EXPECT_TRUE(mark.r > 230 && mark.g > 230 && mark.b > 230) << ::testing::PrintToString(mark);
    }
}

// ---------------------------------------------------------------- manifest

// The attributes of the first `<element ...>` tag in the text.
std::map<std::string, std::string> tag_attributes(std::string_view xml, std::string_view element) {
    std::map<std::string, std::string> attributes;
    const auto start = xml.find("<" + std::string{element} + " ");
    if (start == std::string_view::npos) return attributes;
    const auto end = xml.find('>', start);
    std::string_view tag = xml.substr(start, end - start);
    for (auto eq = tag.find('='); eq != std::string_view::npos; eq = tag.find('=')) {
        auto name_start = tag.find_last_of(" \t\r\n", eq) + 1;
        const std::string name{tag.substr(name_start, eq - name_start)};
        const char quote = tag[eq + 1];
        const auto value_end = tag.find(quote, eq + 2);
        attributes[name] = std::string{tag.substr(eq + 2, value_end - eq - 2)};
        tag.remove_prefix(value_end + 1);
    }
    return attributes;
}

TEST_F(ResourcesTest, ManifestIsTheOnlyOneAndNamesTheAssembly) {
    // One manifest, id 1, in one language: the toolchain added no default manifest.
    EXPECT_EQ(resource_ids(module(), RT_MANIFEST), std::vector<WORD>{1});
    EXPECT_EQ(resource_languages(module(), RT_MANIFEST, MAKEINTRESOURCEW(1)).size(), 1u);

    const std::string_view xml = resource_bytes(module(), RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(xml.empty());
    const std::map<std::string, std::string> identity{
        {"type", "win32"},
        {"name", "Dockling.Desktop"},
        {"version", "3.12.0.0"},
        {"processorArchitecture", "*"},
    };
    EXPECT_EQ(tag_attributes(xml, "assemblyIdentity"), identity);

    std::vector<std::string> supported;
    for (auto at = xml.find("<supportedOS "); at != std::string_view::npos; at = xml.find("<supportedOS ", at + 1))
        supported.push_back(tag_attributes(xml.substr(at), "supportedOS")["Id"]);
    EXPECT_EQ(supported, (std::vector<std::string>{
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10
                         }));

    // The program runs with the user's own rights and the DPI awareness it sets itself.
    for (const char* absent : {"requestedExecutionLevel", "requestedPrivileges", "dpiAware", "dpiAwareness"})
        EXPECT_EQ(xml.find(absent), std::string_view::npos) << absent;
}

// ---------------------------------------------------------------- version

struct VersionInfo {
    std::vector<BYTE> block;

    // The value at a VerQueryValueW path, as raw bytes.
    std::string_view value(const wchar_t* path) const {
        void* data = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), path, &data, &length) || !data) return {};
        return {static_cast<const char*>(data), length};
    }
    std::string text(const std::wstring& path) const {
        void* data = nullptr;
        UINT length = 0;  // in characters, the terminating NUL included
        if (!VerQueryValueW(block.data(), path.c_str(), &data, &length) || !data) return "<missing>";
        return win::from_wide_buffer(static_cast<const wchar_t*>(data), length);
    }
};

VersionInfo read_version_info() {
    const std::wstring path = setup_path();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    VersionInfo info;
    if (size == 0) return info;
    info.block.resize(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.block.data())) info.block.clear();
    return info;
}

TEST_F(ResourcesTest, VersionResourceIsRussianUnicode) {
    EXPECT_EQ(resource_ids(module(), RT_VERSION), std::vector<WORD>{1});
    EXPECT_EQ(resource_languages(module(), RT_VERSION, MAKEINTRESOURCEW(1)), std::vector<WORD>{0x0419});

    const VersionInfo info = read_version_info();
    ASSERT_FALSE(info.block.empty()) << "error " << GetLastError();
    const std::string_view translation = info.value(L"\\VarFileInfo\\Translation");
    ASSERT_EQ(translation.size(), 4u);  // exactly one language and code page pair
    WORD pair[2]{};
    std::memcpy(pair, translation.data(), sizeof pair);
    EXPECT_EQ(pair[0], 0x0419);
    EXPECT_EQ(pair[1], 1200);
}

TEST_F(ResourcesTest, VersionStringsAndNumbers) {
    const VersionInfo info = read_version_info();
    ASSERT_FALSE(info.block.empty()) << "error " << GetLastError();

    const struct {
        const wchar_t* name;
        const char* value;
    } expected[] = {
        {L"CompanyName", "Halvik"},
        {L"FileDescription", "Virelo Setup"},
        {L"FileVersion", "1.0.0"},
        {L"InternalName", "VireloSetup"},
        {L"LegalCopyright", "\u00A9 2026 Halvik. All rights reserved."},
        {L"OriginalFilename", "VireloSetup.exe"},
        {L"ProductName", "Virelo"},
        {L"ProductVersion", "1.0.0"},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(info.text(std::wstring{L"\\StringFileInfo\\041904b0\\"} + name), value) << win::from_wide(name);

    const std::string_view root = info.value(L"\\");
    ASSERT_EQ(root.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed{};
    std::memcpy(&fixed, root.data(), sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, MAKELONG(0, 1));  // 1.0
    EXPECT_EQ(fixed.dwFileVersionLS, 0u);              // .0.0
    EXPECT_EQ(fixed.dwProductVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed.dwProductVersionLS, 0u);
    EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
}

}  // namespace
}  // namespace virelo
