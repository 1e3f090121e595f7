#include "release/tls_refusal.h"

#include <gtest/gtest.h>

namespace virelo {
namespace {

TEST(CertificateRefusal, FlagsInWords) {
    EXPECT_EQ(describe_certificate_flags(0), "");
    EXPECT_EQ(describe_certificate_flags(0x08), "issued by an authority this system does not trust (invalid CA)");
    EXPECT_EQ(describe_certificate_flags(0x10 | 0x20),
              "issued for another host name (name mismatch); expired or not yet valid");
    EXPECT_EQ(describe_certificate_flags(0x04), "revoked by its issuer");
    EXPECT_EQ(describe_certificate_flags(0x01), "its revocation could not be checked");
    EXPECT_EQ(describe_certificate_flags(0x40), "not meant for a web server (wrong usage)");
    EXPECT_EQ(describe_certificate_flags(0x02), "not a valid certificate");
    EXPECT_EQ(describe_certificate_flags(0x80000000u), "the secure channel failed");
    EXPECT_EQ(describe_certificate_flags(0x08 | 0x100), "issued by an authority this system does not trust "
                                                        "(invalid CA); flags 0x00000100");
    EXPECT_EQ(describe_certificate_flags(0x200), "flags 0x00000200");
}

TEST(CertificateRefusal, ErrorCodesInWords) {
    EXPECT_EQ(describe_certificate_error(12045), "issued by an authority this system does not trust (invalid CA)");
    EXPECT_EQ(describe_certificate_error(12038), "issued for another host name (name mismatch)");
    EXPECT_EQ(describe_certificate_error(12037), "expired or not yet valid");
    EXPECT_EQ(describe_certificate_error(12170), "revoked by its issuer");
    EXPECT_EQ(describe_certificate_error(12175), "refused (no detail given)");
    EXPECT_EQ(describe_certificate_error(12029), "");
    EXPECT_EQ(describe_certificate_error(0), "");
}

}  // namespace
}  // namespace virelo
