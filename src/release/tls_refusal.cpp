#include "release/tls_refusal.h"

#include <cstdio>
#include <utility>

namespace virelo {
namespace {

constexpr std::pair<std::uint32_t, const char*> flag_words[] = {
    {0x00000008, "issued by an authority this system does not trust (invalid CA)"},  // FLAG_INVALID_CA
    {0x00000010, "issued for another host name (name mismatch)"},                   // FLAG_CERT_CN_INVALID
    {0x00000020, "expired or not yet valid"},                                       // FLAG_CERT_DATE_INVALID
    {0x00000004, "revoked by its issuer"},                                          // FLAG_CERT_REVOKED
    {0x00000001, "its revocation could not be checked"},                            // FLAG_CERT_REV_FAILED
    {0x00000040, "not meant for a web server (wrong usage)"},                       // FLAG_CERT_WRONG_USAGE
    {0x00000002, "not a valid certificate"},                                        // FLAG_INVALID_CERT
    {0x80000000, "the secure channel failed"},                                      // FLAG_SECURITY_CHANNEL_ERROR
};

}  // namespace

std::string describe_certificate_flags(std::uint32_t flags) {
    std::string text;
    std::uint32_t known = 0;
    for (const auto& [bit, words] : flag_words) {
        known |= bit;
        if (flags & bit) text += (text.empty() ? "" : "; ") + std::string{words};
    }
    if (const std::uint32_t rest = flags & ~known; rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(rest));
        text += (text.empty() ? "flags " : "; flags ") + std::string{hex};
    }
    return text;
}

std::string describe_certificate_error(std::uint32_t error) {
    switch (error) {
    case 12045: return "issued by an authority this system does not trust (invalid CA)";  // SECURE_INVALID_CA
    case 12038: return "issued for another host name (name mismatch)";                   // SECURE_CERT_CN_INVALID
    case 12037: return "expired or not yet valid";                                       // SECURE_CERT_DATE_INVALID
    case 12170: return "revoked by its issuer";                                          // SECURE_CERT_REVOKED
    case 12057: return "its revocation could not be checked";                            // SECURE_CERT_REV_FAILED
    case 12179: return "not meant for a web server (wrong usage)";                       // SECURE_CERT_WRONG_USAGE
    case 12169: return "not a valid certificate";                                        // SECURE_INVALID_CERT
    case 12157: return "the secure channel failed";                                      // SECURE_CHANNEL_ERROR
    case 12175: return "refused (no detail given)";                                      // SECURE_FAILURE
    default: return {};
    }
}

}  // namespace virelo
