#pragma once
// How much the setup program takes from the release site, and how long it
// waits for it.

#include <chrono>
#include <cstdint>

namespace virelo {

// The executable: a body may reach this size, not exceed it.
inline constexpr std::uint64_t max_body_bytes = 209'715'200;  // 200 MiB

// A real manifest is a few hundred bytes and a Base64 r||s signature 88
// characters; the caps leave room for growth and line breaks while keeping a
// hostile answer from costing a start more than a few kilobytes.
inline constexpr std::uint64_t max_manifest_bytes = 64 * 1024;
inline constexpr std::uint64_t max_signature_bytes = 1024;

// The whole release check (manifest and signature, release API and static
// files together). With an installed copy the user is waiting for Virelo, so
// the check gives up early and the installed copy starts; a first install has
// nothing to fall back on and waits longer for a slow link.
inline constexpr std::chrono::milliseconds check_budget_installed{6000};
inline constexpr std::chrono::milliseconds check_budget_first_install{45000};

// A transfer that receives nothing for this long ends as interrupted; it also
// bounds the wait for a response's headers.
inline constexpr std::chrono::milliseconds receive_timeout{30000};

}  // namespace virelo
