#pragma once
// `virelo-release inspect FILE`: what a finished VireloSetup.exe has built in
// (the fingerprints of its keys and its default site), its version resource
// and whether it carries an Authenticode signature.

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "signing/keys.h"

namespace virelo::tool {

struct EmbeddedConstants {
    std::vector<PublicBlob> keys;  // the signing key, then the next key if any
    std::string site;
};

// The setup program's release constants record, found by its marker.
Expected<EmbeddedConstants> find_release_constants(std::string_view program, std::string_view name);

int run_inspect(const std::vector<std::string>& args);

}  // namespace virelo::tool
