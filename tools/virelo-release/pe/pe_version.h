#pragma once
// The version resource of a Windows executable (RT_VERSION, VS_VERSIONINFO),
// so that `publish` can compare the version it is told with the one the
// executable states about itself.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "pe/pe.h"

namespace virelo::tool {

struct VersionResource {
    // The fixed part's numbers, "a.b.c.d".
    std::string fixed_file_version;
    std::string fixed_product_version;
    // "FileVersion" and "ProductVersion" texts of every string table.
    std::vector<std::pair<std::string, std::string>> texts;
};

// The first version resource of the image, nothing when it has none, or a
// failure when one is there but cannot be read.
Expected<std::optional<VersionResource>> read_version_resource(const PeView& image);

// Whether `version` names the same version as the resource: equal to one of
// its texts, or to a fixed version written with 4, 3 or 2 numbers (the
// dropped ones zero).
bool version_matches(std::string_view version, const VersionResource& resource);

// The resource's versions for a message: ProductVersion "1.1.0", FileVersion "1.1.0".
std::string describe_versions(const VersionResource& resource);

}  // namespace virelo::tool
