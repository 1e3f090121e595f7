#include "release/release.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace virelo {
namespace {

const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A manifest as the release tool writes it, with one field's value swapped in.
std::string manifest(std::string app = "\"Virelo\"", std::string version = "\"1.4.2\"",
                     std::string file = "\"Virelo-1.4.2.exe\"", std::string size = "5000000",
                     std::string sha256 = "\"" + digest + "\"") {
    return "{\n  \"app\": " + app + ",\n  \"version\": " + version + ",\n  \"file\": " + file +
           ",\n  \"size\": " + size + ",\n  \"sha256\": " + sha256 + "\n}\n";
}

TEST(ReadManifest, ReadsTheRecord) {
    const auto release = read_manifest(manifest());
    ASSERT_TRUE(release);
    EXPECT_EQ(release->version, "1.4.2");
    EXPECT_EQ(release->file, "Virelo-1.4.2.exe");
    EXPECT_EQ(release->size, 5000000u);
    EXPECT_EQ(release->sha256, digest);
}

TEST(ReadManifest, AcceptedVariants) {
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string text;
        std::string version, file;
        std::uint64_t size;
        std::string sha256;
    };
    const Case cases[] = {
        {manifest(), "1.4.2", "Virelo-1.4.2.exe", 5000000, digest},
        {manifest("\"Virelo\"", "\"1.4.2\"", "\"Virelo-1.4.2.exe\"", "\"123\""), "1.4.2", "Virelo-1.4.2.exe", 123, digest},
        {manifest("\"Virelo\"", "\"1.4.2\"", "\"Virelo-1.4.2.exe\"", "+123"), "1.4.2", "Virelo-1.4.2.exe", 123, digest},
        {manifest("\"Virelo\"", "\"1.4.2\"", "\"Virelo-1.4.2.exe\"", "18446744073709551615"), "1.4.2",
         "Virelo-1.4.2.exe", 18446744073709551615u, digest},
        {manifest("\"Virelo\"", "\"1.4.2\"", "\"Virelo-1.4.2.exe\"", "0"), "1.4.2", "Virelo-1.4.2.exe", 0, digest},
        // Compared in lower case later on.
        {manifest("\"Virelo\"", "\"1.4.2\"", "\"Virelo-1.4.2.exe\"", "5000000", "\"" + upper + "\""), "1.4.2",
         "Virelo-1.4.2.exe", 5000000, digest},
        {manifest("Virelo"), "1.4.2", "Virelo-1.4.2.exe", 5000000, digest},  // bare token
        // Letter case of the file name is kept.
        {manifest("\"Virelo\"", "\"1.4.2\"", "\"A.EXE\""), "1.4.2", "A.EXE", 5000000, digest},
        // Version is any text, the empty text and bare tokens included.
        {manifest("\"Virelo\"", "\"\""), "", "Virelo-1.4.2.exe", 5000000, digest},
        {manifest("\"Virelo\"", "2.0"), "2.0", "Virelo-1.4.2.exe", 5000000, digest},
        // Bytes that are not UTF-8 are read as U+FFFD.
        {manifest("\"Virelo\"", "\"1.\xFF\""), "1.\uFFFD", "Virelo-1.4.2.exe", 5000000, digest},
        // A byte-order mark and other line endings do not bother the reader.
        {"\xEF\xBB\xBF{\r\n\"sha256\":\"" + digest + "\",\"size\":1,\"file\":\"v.exe\",\"version\":\"1\",\"app\":\"Virelo\"}",
         "1", "v.exe", 1, digest},
        {"{\"app\"\u00A0:\u3000\"Virelo\",\"version\"\t:\n\"1\",\"file\" : \"v.exe\",\"size\"\r\n:\r\n7,\"sha256\":\"" +
             digest + "\"}",
         "1", "v.exe", 7, digest},
    };
    for (const auto& c : cases) {
        const auto release = read_manifest(c.text);
        ASSERT_TRUE(release) << c.text;
        EXPECT_EQ(release->version, c.version) << c.text;
        EXPECT_EQ(release->file, c.file) << c.text;
        EXPECT_EQ(release->size, c.size) << c.text;
        EXPECT_EQ(release->sha256, c.sha256) << c.text;
    }
}

TEST(ReadManifest, DamagedManifests) {
    const std::string q = "\"";
    const std::string damaged[] = {
        manifest("\"virelo\""),
        manifest("\"VIRELO\""),
        manifest("\"Virelo \""),
        manifest("\"Dockling\""),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "\"\""),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "-1"),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "1.5"),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "18446744073709551616"),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "5e6"),
        manifest("\"Virelo\"", "\"1\"", "\"a/b.exe\""),
        manifest("\"Virelo\"", "\"1\"", "\"a.exe \""),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "1", q + digest.substr(1) + q),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "1", q + digest + "0" + q),
        manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"", "1", q + q),
        // A field whose string never closes counts as missing.
        "{\"app\": \"Virelo\", \"version\": \"1\", \"file\": \"v.exe\", \"size\": 1, \"sha256\": \"" + digest,
        // "app" first appears as another key's value.
        "{\"name\": \"app\", \"app\": \"Virelo\", \"version\": \"1\", \"file\": \"v.exe\", \"size\": 1, "
        "\"sha256\": \"" + digest + "\"}",
        "",
        "not json at all",
    };
    for (const auto& text : damaged) EXPECT_FALSE(read_manifest(text)) << text;
}

TEST(ReadManifest, EveryFieldIsRequired) {
    const std::string full = manifest();
    for (const char* key : {"app", "version", "file", "size", "sha256"}) {
        std::string text = full;
        const std::string needle = std::string{"\""} + key + "\"";
        text.replace(text.find(needle), needle.size(), "\"other\"");
        EXPECT_FALSE(read_manifest(text)) << key;
    }
}

TEST(ReadManifest, DigestLengthIsCountedAfterLowering) {
    // U+0130 (2 bytes) lowers to "i" + U+0307 (3 bytes).
    const std::string dotted_i = "\xC4\xB0";
    const std::string fits_after = std::string(61, 'a') + dotted_i;  // 63 bytes, 64 lowered
    const std::string fits_before = std::string(62, 'a') + dotted_i; // 64 bytes, 65 lowered
    const auto with_digest = [](const std::string& value) {
        return manifest("\"Virelo\"", "\"1\"", "\"v.exe\"", "1", "\"" + value + "\"");
    };
    const auto release = read_manifest(with_digest(fits_after));
    ASSERT_TRUE(release);
    EXPECT_EQ(release->sha256, std::string(61, 'a') + "i\xCC\x87");
    EXPECT_FALSE(read_manifest(with_digest(fits_before)));
    // Not hexadecimal, yet 64 bytes: accepted here, it can simply never match.
    EXPECT_TRUE(read_manifest(with_digest(std::string(64, 'z'))));
}

TEST(FileName, Rule) {
    struct Case { std::string file; bool acceptable; };
    const Case cases[] = {
        {"Virelo.exe", true},
        {"A.EXE", true},
        {"a.Exe", true},
        {"Virelo-1.4.2_build.7.exe", true},
        {"0.exe", true},
        {".exe", true},  // the publisher's tool refuses a leading '.'; the setup program need not
        {"-.exe", true},
        {"", false},
        {"exe", false},
        {"a.ex", false},
        {"a.exe ", false},
        {"a.exe.txt", false},
        {"a.exe\n", false},
        // Separators, and what a host might decode into one.
        {"a/b.exe", false},
        {"a\\b.exe", false},
        {"c:x.exe", false},
        {"sub%2fx.exe", false},
        {"sub%5Cx.exe", false},
        {"%2e%2e%2fevil.exe", false},
        {"%00.exe", false},
        {std::string{"a\0.exe", 6}, false},
        {"x..exe", false},
        {"..exe", false},
        {"a..b.exe", false},
        // Anything outside the plain ASCII set, wherever it stands.
        {"a b.exe", false},
        {"Virelo-1.4.2+build.exe", false},
        {"a?b.exe", false},
        {"a#b.exe", false},
        {"a&b.exe", false},
        {"a~1.exe", false},
        {"a\"b.exe", false},
        {"a\tb.exe", false},
        {"a\x7f.exe", false},
        {"\xD0\x92\xD0\xB8\xD1\x80\xD0\xB5\xD0\xBB\xD0\xBE.exe", false},  // Cyrillic
        {"a.\xEF\xBD\x85xe", false},  // fullwidth 'e'
        {"a\xC2\xA0.exe", false},     // no-break space
    };
    for (const auto& c : cases) EXPECT_EQ(is_acceptable_file_name(c.file), c.acceptable) << c.file;
}

TEST(FileName, AnotherNameIsADamagedManifest) {
    EXPECT_FALSE(read_manifest(manifest("\"Virelo\"", "\"1\"", "\"sub%2fx.exe\"")));
    EXPECT_FALSE(read_manifest(manifest("\"Virelo\"", "\"1\"", "\"Virelo 1.4.2.exe\"")));
    EXPECT_TRUE(read_manifest(manifest("\"Virelo\"", "\"1\"", "\"Virelo-1.4.2.exe\"")));
}

TEST(ReleasePaths, PerSource) {
    Release release;
    release.file = "Virelo 1.4.2.EXE";
    release.source = ReleaseSource::release_api;
    EXPECT_EQ(manifest_path(release.source), "api/release?f=manifest");
    EXPECT_EQ(signature_path(release.source), "api/release?f=sig");
    EXPECT_EQ(executable_path(release), "api/release?f=exe");
    release.source = ReleaseSource::static_files;
    EXPECT_EQ(manifest_path(release.source), "manifest.json");
    EXPECT_EQ(signature_path(release.source), "manifest.sig");
    EXPECT_EQ(executable_path(release), "Virelo 1.4.2.EXE");  // unescaped, as written
}

// The optional freshness fields: absent is fine, present must be well formed.
TEST(ReadManifest, FreshnessFields) {
    const auto with = [](const std::string& fields) {
        std::string text = manifest();
        text.insert(text.rfind('}'), ",\n  " + fields + "\n");
        return read_manifest(text);
    };
    struct Case {
        std::string fields;
        bool readable;
        std::optional<std::uint64_t> serial;
        std::optional<std::int64_t> expires;
    };
    const Case cases[] = {
        {"\"x\": 1", true, std::nullopt, std::nullopt},
        {"\"serial\": 7", true, 7, std::nullopt},
        {"\"serial\": \"9007199254740992\"", true, 9007199254740992ull, std::nullopt},
        {"\"expires\": \"2027-01-01T00:00:00Z\"", true, std::nullopt, 1798761600},
        {"\"serial\": 3, \"expires\": \"1970-01-01T00:00:10Z\"", true, 3, 10},
        {"\"serial\": 0", false, std::nullopt, std::nullopt},
        {"\"serial\": 07", false, std::nullopt, std::nullopt},
        {"\"serial\": -1", false, std::nullopt, std::nullopt},
        {"\"serial\": 9007199254740993", false, std::nullopt, std::nullopt},
        {"\"expires\": \"2027-02-30T00:00:00Z\"", false, std::nullopt, std::nullopt},
        {"\"expires\": \"2027-01-01 00:00:00\"", false, std::nullopt, std::nullopt},
        {"\"expires\": 1798761600", false, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        const auto release = with(c.fields);
        ASSERT_EQ(release.has_value(), c.readable);
        if (!release) continue;
        EXPECT_EQ(release->serial, c.serial);
        EXPECT_EQ(release->expires, c.expires);
    }
}

TEST(JudgeFreshness, Table) {
    constexpr std::int64_t now = 1'800'000'000;
    struct Case {
        const char* name;
        std::optional<std::uint64_t> serial;
        std::optional<std::int64_t> expires;
        std::optional<std::uint64_t> recorded;
        Freshness expected;
    };
    const Case cases[] = {
        {"nothing anywhere", std::nullopt, std::nullopt, std::nullopt, Freshness::fresh},
        {"first serial", 1, std::nullopt, std::nullopt, Freshness::fresh},
        {"higher serial", 6, std::nullopt, 5, Freshness::fresh},
        {"equal serial", 5, std::nullopt, 5, Freshness::fresh},
        {"lower serial", 4, std::nullopt, 5, Freshness::older},
        {"no serial after one was recorded", std::nullopt, std::nullopt, 5, Freshness::older},
        {"expiry ahead", std::nullopt, now + 1, std::nullopt, Freshness::fresh},
        {"expiry right now", std::nullopt, now, std::nullopt, Freshness::fresh},
        {"expiry passed", std::nullopt, now - 1, std::nullopt, Freshness::expired},
        {"lower serial and expired", 4, now - 1, 5, Freshness::older},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Release release;
        release.serial = c.serial;
        release.expires = c.expires;
        EXPECT_EQ(judge_freshness(release, now, c.recorded), c.expected);
    }
}

// The parts follow the release's own fields, as the release tool writes them.
std::string with_parts(std::string parts) {
    std::string text = manifest();
    text.insert(text.rfind('\n', text.size() - 2), ",\n" + std::move(parts));
    return text;
}

const std::string base_a(64, 'a');
const std::string base_b(64, 'b');
const std::string part_digest(64, 'c');

std::string part(std::string file = "Virelo-1.4.2.exe.gz", std::string size = "1200",
                 std::string sha256 = std::string(64, 'c')) {
    return "{\"file\": \"" + file + "\", \"size\": " + size + ", \"sha256\": \"" + sha256 + "\"}";
}

TEST(ReadManifest, ReadsTheCompressedCopyAndTheDeltas) {
    const std::string text = with_parts("  \"compressed\": " + part() + ",\n  \"deltas\": {\n    \"" + base_a +
                                        "\": {\"base\": \"Virelo-1.4.1.exe\", \"file\": \"a.vdelta\", \"size\": 10, "
                                        "\"sha256\": \"" + part_digest + "\"},\n    \"" + base_b + "\": " +
                                        part("b.vdelta", "20") + "\n  }");
    const auto release = read_manifest(text);
    ASSERT_TRUE(release);
    // The release's own fields are read as before: only their first occurrence counts.
    EXPECT_EQ(release->file, "Virelo-1.4.2.exe");
    EXPECT_EQ(release->size, 5000000u);
    ASSERT_TRUE(release->compressed);
    EXPECT_EQ(release->compressed->file, "Virelo-1.4.2.exe.gz");
    EXPECT_EQ(release->compressed->size, 1200u);
    ASSERT_EQ(release->deltas.size(), 2u);
    EXPECT_EQ(release->deltas[0].base_sha256, base_a);
    EXPECT_EQ(release->deltas[0].base_file, "Virelo-1.4.1.exe");
    EXPECT_EQ(release->deltas[0].part.file, "a.vdelta");
    EXPECT_EQ(release->deltas[1].part.size, 20u);
    EXPECT_EQ(find_delta(*release, base_b), &release->deltas[1]);
    EXPECT_EQ(find_delta(*release, std::string(64, 'e')), nullptr);
}

TEST(ReadManifest, AFaultyPartIsLeftOutAndNamedNotAFaultyRelease) {
    struct Case {
        const char* name;
        std::string parts;
        std::size_t deltas;
        bool compressed;
        std::string problem;  // empty: none
    };
    const Case cases[] = {
        {"no parts", "  \"serial\": 3", 0, false, ""},
        {"compressed not an object", "  \"compressed\": \"x.gz\"", 0, false, "\"compressed\" is not an object"},
        {"compressed without a digest", "  \"compressed\": {\"file\": \"x.gz\", \"size\": 1}", 0, false,
         "\"compressed\": needs \"file\", \"size\" and \"sha256\""},
        {"part name with a slash", "  \"compressed\": " + part("../x.gz"), 0, false,
         "\"compressed\": \"file\" (../x.gz) must be letters, digits, '.', '-' and '_' and hold no .."},
        {"negative size", "  \"compressed\": " + part("x.gz", "-1"), 0, false,
         "\"compressed\": \"size\" (-1) is not an unsigned 64-bit decimal number"},
        {"short digest", "  \"compressed\": " + part("x.gz", "1", "abc"), 0, false,
         "\"compressed\": \"sha256\" is not 64 hexadecimal digits"},
        {"delta keyed by a non-digest", "  \"deltas\": {\"1.4.1\": " + part() + "}", 0, false,
         "\"deltas\" entry 1.4.1: the key must be the base's SHA-256, 64 hexadecimal digits"},
        {"delta from the release itself", "  \"deltas\": {\"" + digest + "\": " + part() + "}", 0, false,
         "\"deltas\" entry " + digest + ": a delta from the release itself"},
        {"one bad delta beside a good one",
         "  \"deltas\": {\"" + base_a + "\": " + part("a", "x") + ", \"" + base_b + "\": " + part() + "}", 1, false,
         "\"deltas\" entry " + base_a + ": \"size\" (x) is not an unsigned 64-bit decimal number"},
        // The manifest's own closing brace then closes it.
        {"left open", "  \"compressed\": {\"file\": \"x.gz\"", 0, false,
         "\"compressed\": needs \"file\", \"size\" and \"sha256\""},
        {"upper-case digests are lowered", "  \"deltas\": {\"" + std::string(64, 'A') + "\": " +
                                               part("a", "1", std::string(64, 'C')) + "}", 1, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = with_parts(c.parts);
        const auto release = read_manifest(text);
        ASSERT_TRUE(release) << text;
        EXPECT_EQ(release->deltas.size(), c.deltas);
        EXPECT_EQ(release->compressed.has_value(), c.compressed);
        const auto parts = read_release_parts(text, digest);
        if (c.problem.empty()) {
            EXPECT_TRUE(parts.problems.empty()) << parts.problems.front();
        } else {
            ASSERT_EQ(parts.problems.size(), 1u);
            EXPECT_EQ(parts.problems.front(), c.problem);
        }
    }
}

TEST(ReadManifest, NoMoreDeltasThanTheLimitAreRead) {
    std::string deltas = "  \"deltas\": {";
    for (std::size_t i = 0; i < max_deltas + 4; ++i) {
        std::string base = std::string(62, 'a') + "0" + std::to_string(i % 10);
        base[60] = static_cast<char>('a' + i / 10);
        deltas += (i ? ", \"" : "\"") + base + "\": " + part();
    }
    const auto release = read_manifest(with_parts(deltas + "}"));
    ASSERT_TRUE(release);
    EXPECT_EQ(release->deltas.size(), max_deltas);
}

}  // namespace
}  // namespace virelo
