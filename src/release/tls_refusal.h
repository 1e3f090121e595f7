#pragma once
// Why the system refused a site's TLS certificate, in words for the
// diagnostic log: WinHTTP reports it as flags to a status callback
// (WINHTTP_CALLBACK_STATUS_SECURE_FAILURE) and as the request's error code.
// The values are the platform's, fixed by its headers; written out here so
// that the words are tested natively.

#include <cstdint>
#include <string>

namespace virelo {

// The WINHTTP_CALLBACK_STATUS_FLAG_* bits, each in words, joined with "; ";
// empty for no flags. Unknown bits are named by their value.
std::string describe_certificate_flags(std::uint32_t flags);

// An ERROR_WINHTTP_SECURE_* code in words; empty for any other code.
std::string describe_certificate_error(std::uint32_t error);

}  // namespace virelo
