#pragma once
// Whether a Windows executable carries an Authenticode signature, and whose.
// Only the presence and the signer are read here; whether Windows trusts the
// certificate is for Windows (and SmartScreen) to decide.

#include <optional>
#include <string>

#include "common/result.h"
#include "pe/pe.h"

namespace virelo::tool {

struct AuthenticodeSignature {
    std::string signer;  // the signing certificate's subject, RFC 2253; empty when not found
};

// The image's signature; nothing when it has none; a failure when its
// certificate table is damaged.
Expected<std::optional<AuthenticodeSignature>> read_authenticode(const PeView& image);

// "signed by CN=…" or "not signed", for the tool's reports.
std::string describe_authenticode(const Expected<std::optional<AuthenticodeSignature>>& signature);

}  // namespace virelo::tool
