#include "release/site.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace virelo {
namespace {

constexpr const char* fallback = "https://releases.example.com/virelo/";

TEST(ResolveSite, Table) {
    struct Case {
        std::vector<std::string> args;
        std::string site;
    };
    const Case cases[] = {
        {{"VireloSetup.exe"}, fallback},
        {{}, fallback},
        {{"VireloSetup.exe", "--site"}, fallback},
        {{"VireloSetup.exe", "--site", "https://Mirror.Example.COM/virelo"}, "https://Mirror.Example.COM/virelo/"},
        {{"VireloSetup.exe", "--site", "https://mirror.example.com/"}, "https://mirror.example.com/"},
        {{"VireloSetup.exe", "--site", "HTTPS://mirror.example.com/a/b/"}, "HTTPS://mirror.example.com/a/b/"},
        {{"VireloSetup.exe", "--site", "HtTp://LocalHost:8080"}, "HtTp://LocalHost:8080/"},
        {{"VireloSetup.exe", "--site", "http://127.0.0.1:5000/sub"}, "http://127.0.0.1:5000/sub/"},
        // Only the prefix is tested.
        {{"VireloSetup.exe", "--site", "http://localhost.example.com/"}, "http://localhost.example.com/"},
        {{"VireloSetup.exe", "--site", "http://192.168.1.5/"}, fallback},
        {{"VireloSetup.exe", "--site", "http://example.com/"}, fallback},
        {{"VireloSetup.exe", "--site", "ftp://example.com/"}, fallback},
        {{"VireloSetup.exe", "--site", "https:/example.com/"}, fallback},
        {{"VireloSetup.exe", "--site", ""}, fallback},
        {{"VireloSetup.exe", "--site", "--site"}, fallback},
        {{"VireloSetup.exe", "--SITE", "https://mirror.example.com/"}, fallback},
        {{"VireloSetup.exe", "--site=https://mirror.example.com/"}, fallback},
        {{"VireloSetup.exe", "-site", "https://mirror.example.com/"}, fallback},
        // The first "--site" decides, even when its value is rejected.
        {{"VireloSetup.exe", "--site", "http://10.0.0.1/", "--site", "https://mirror.example.com/"}, fallback},
        {{"VireloSetup.exe", "--site", "https://a.example/", "--site", "https://b.example/"}, "https://a.example/"},
        {{"VireloSetup.exe", "--uninstall", "--site", "https://a.example/"}, "https://a.example/"},
        // The scan starts at the program path.
        {{"--site", "https://a.example/"}, "https://a.example/"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "[" + a + "]";
        EXPECT_EQ(resolve_site(c.args, fallback), c.site) << shown;
    }
}

// The reason is what the diagnostic log shows; a refused value names itself
// and why it was refused.
TEST(ChooseSite, ReasonSaysWhyTheSiteWasChosen) {
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const Case cases[] = {
        {{"VireloSetup.exe"}, "the built-in site"},
        {{"VireloSetup.exe", "--site"}, "the built-in site: --site had no value"},
        {{"VireloSetup.exe", "--site", ""}, "the built-in site: --site was empty"},
        {{"VireloSetup.exe", "--site", "https://a.example/"}, "--site"},
        {{"VireloSetup.exe", "--site", "http://192.168.1.20:8080/"},
         "the built-in site: --site http://192.168.1.20:8080/ was refused (plain http is accepted only for "
         "127.0.0.1 and localhost)"},
        {{"VireloSetup.exe", "--site", "ftp://a.example/"},
         "the built-in site: --site ftp://a.example/ was refused (only https, or plain http to 127.0.0.1 and "
         "localhost, is accepted)"},
    };
    for (const auto& c : cases) {
        const SiteChoice choice = choose_site(c.args, fallback);
        EXPECT_EQ(choice.reason, c.reason);
        EXPECT_EQ(choice.site, resolve_site(c.args, fallback));
    }
}

}  // namespace
}  // namespace virelo
