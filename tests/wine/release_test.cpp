// Obtaining the signed release and downloading its executable, against a
// scripted release site in the test process.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/os_error.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "release/digest.h"
#include "release/download.h"
#include "release/obtain_release.h"
#include "foundation/status_channel.h"
#include "support/release_site.h"
#include "support/status_recorder.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/signing.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

using test::Posted;
using test::ReleaseSite;
using test::StatusRecorder;

using test::bytes_of;
using test::HttpConnection;
using test::HttpRequest;
using test::http_response;

constexpr char api_manifest[] = "/api/release?f=manifest";
constexpr char api_sig[] = "/api/release?f=sig";
constexpr char api_exe[] = "/api/release?f=exe";
constexpr char static_manifest[] = "/manifest.json";
constexpr char static_sig[] = "/manifest.sig";

const std::string cannot_reach_prefix = "Cannot reach the Virelo site (";
const std::string cannot_reach_suffix = "). Check your internet connection and run the installer again.";
const std::string signature_error =
    "The release on the site failed the signature check, so it will not be installed. "
    "Please report this to the Virelo developer.";
const std::string damaged_error = "The release description on the site is damaged.";
const std::string mismatch_error =
    "The downloaded file does not match the signed release, so it will not be installed. Please try again later.";

std::string manifest_text(std::string_view version, std::string_view extra = {}) {
    return "{\"app\": \"Virelo\", \"version\": \"" + std::string{version} +
           "\", \"file\": \"Virelo.exe\", \"size\": 3, \"sha256\": \"" + sha256_hex(bytes_of("abc")) + "\"" +
           std::string{extra} + "}";
}

// One session for the test program, as a run of the setup program has.
std::shared_ptr<const HttpSession> session() {
    static const auto shared = std::make_shared<const HttpSession>();
    return shared;
}

ReleaseOutcome obtain(const std::string& site, std::chrono::milliseconds budget = std::chrono::seconds{30}) {
    return obtain_release(site, session(), SteadyClock::now() + budget);
}

std::string refusal_text(const ReleaseOutcome& outcome) {
    const auto* refusal = std::get_if<ReleaseRefusal>(&outcome);
    return refusal ? refusal->text : "a release";
}

std::vector<std::string> sorted(std::vector<std::string> targets) {
    std::sort(targets.begin(), targets.end());
    return targets;
}

// Test mode pointed at a fresh folder, and the stand-in application recording
// its starts, for the steps that read the installation or start it.
class InstallFixture : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"DK_SETUP_TEST", win::to_wide(folder_.path()).c_str());
        SetEnvironmentVariableW(L"VIRELO_STANDIN_RECORD", win::to_wide(launch_record()).c_str());
    }
    void TearDown() override {
        end_installed_app_processes();
        SetEnvironmentVariableW(L"VIRELO_STANDIN_RECORD", nullptr);
        SetEnvironmentVariableW(L"DK_SETUP_TEST", nullptr);
    }

    std::string launch_record() const { return folder_.file("launches.txt"); }

    void install(std::span<const std::uint8_t> executable) {
        ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
        ASSERT_TRUE(win::write_file(installed_exe_path(), executable).ok());
    }
    void install_standin() {
        const auto standin = win::read_file(test::build_file("Virelo.exe"));
        ASSERT_TRUE(standin.has_value()) << "the stand-in Virelo.exe is not built";
        install(*standin);
    }

    // The first recorded start of the stand-in, waiting a while for it.
    std::optional<std::string> wait_for_launch() const {
        for (int i = 0; i < 100; ++i) {
            if (auto text = test::read_text(launch_record()); text && !text->empty()) return text;
            Sleep(100);
        }
        return std::nullopt;
    }

    test::TestFolder folder_{"release"};
};

// ---- obtain_release -------------------------------------------------------

TEST(ObtainRelease, SourcesAreTriedInOrder) {
    const std::string from_api = manifest_text("2.0.0-api");
    const std::string from_static = manifest_text("2.0.0-static");
    std::string damaged = manifest_text("2.0.0");
    damaged.replace(damaged.find("Virelo"), 6, "virelo");  // the product name in another letter case

    struct Case {
        const char* name;
        std::function<void(ReleaseSite&)> arrange;
        std::string expected;  // the version read, or the error text
        std::optional<ReleaseSource> source;
        // Both requests of a source travel at once, so the order on the wire
        // is not fixed: the set of targets is.
        std::vector<std::string> targets;
    };
    const auto serve_static = [&](ReleaseSite& s) { s.serve_signed(static_manifest, static_sig, from_static); };
    const Case cases[] = {
        {"release API", [&](ReleaseSite& s) { s.serve_signed(api_manifest, api_sig, from_api); serve_static(s); },
         "2.0.0-api", ReleaseSource::release_api, {api_manifest, api_sig}},
        {"API 404, static files", serve_static,
         "2.0.0-static", ReleaseSource::static_files, {api_manifest, api_sig, static_manifest, static_sig}},
        {"API signature fails, its manifest dropped",
         [&](ReleaseSite& s) {
             s.serve(api_manifest, from_api);
             s.serve_raw(api_sig, http_response(500, "oops"));
             serve_static(s);
         },
         "2.0.0-static", ReleaseSource::static_files, {api_manifest, api_sig, static_manifest, static_sig}},
        {"API answer that does not verify is final",
         [&](ReleaseSite& s) {
             s.serve(api_manifest, "<html>Service unavailable</html>");
             s.serve(api_sig, "<html>Service unavailable</html>");
             serve_static(s);
         },
         signature_error, std::nullopt, {api_manifest, api_sig}},
        {"API signature of other bytes",
         [&](ReleaseSite& s) {
             s.serve(api_manifest, from_api);
             s.serve(api_sig, test::demo_signature(from_static));
             serve_static(s);
         },
         signature_error, std::nullopt, {api_manifest, api_sig}},
        {"static manifest fails", [](ReleaseSite&) {},
         cannot_reach_prefix + "server replied 404" + cannot_reach_suffix, std::nullopt,
         {api_manifest, api_sig, static_manifest, static_sig}},
        {"only the static signature fails",
         [&](ReleaseSite& s) {
             s.serve(static_manifest, from_static);
             s.serve_raw(static_sig, http_response(503, "busy"));
         },
         cannot_reach_prefix + "server replied 503" + cannot_reach_suffix, std::nullopt,
         {api_manifest, api_sig, static_manifest, static_sig}},
        {"damaged manifest", [&](ReleaseSite& s) { s.serve_signed(api_manifest, api_sig, damaged); },
         damaged_error, std::nullopt, {api_manifest, api_sig}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseSite site;
        c.arrange(site);
        const ReleaseOutcome outcome = obtain(site.url());
        if (c.source) {
            const auto* release = std::get_if<Release>(&outcome);
            ASSERT_NE(release, nullptr) << refusal_text(outcome);
            EXPECT_EQ(release->version, c.expected);
            EXPECT_EQ(release->source, *c.source);
            EXPECT_EQ(release->file, "Virelo.exe");
            EXPECT_EQ(release->size, 3u);
            EXPECT_EQ(release->sha256, sha256_hex(bytes_of("abc")));
        } else {
            EXPECT_EQ(refusal_text(outcome), c.expected);
        }
        // A request walked away from may still arrive a moment later.
        for (int i = 0; i < 50 && site.targets().size() < c.targets.size(); ++i) Sleep(20);
        EXPECT_EQ(sorted(site.targets()), sorted(c.targets));
    }
}

std::string closed_site() {
    std::uint16_t port;
    {
        test::HttpServer probe{[](const HttpRequest&, HttpConnection&) {}};
        port = probe.port();
    }
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

TEST(ObtainRelease, UnreachableSiteIsReportedWithTheReason) {
    const auto outcome = obtain(closed_site());
    const auto* refusal = std::get_if<ReleaseRefusal>(&outcome);
    ASSERT_NE(refusal, nullptr);
    EXPECT_EQ(refusal->kind, RefusalKind::unreachable);
    EXPECT_EQ(refusal->text, cannot_reach_prefix + "cannot reach the site" + cannot_reach_suffix);
}

// The refusal kinds decide what the pipeline does with an installed copy.
TEST(ObtainRelease, RefusalsSayWhatKindTheyAre) {
    ReleaseSite bad_signature;
    bad_signature.serve(api_manifest, manifest_text("2.0.0"));
    bad_signature.serve(api_sig, test::demo_signature(manifest_text("2.0.1")));
    ReleaseSite damaged;
    std::string text = manifest_text("2.0.0");
    text.replace(text.find("Virelo.exe"), 10, "../x.exe");
    damaged.serve_signed(api_manifest, api_sig, text);

    const auto signature_outcome = obtain(bad_signature.url());
    ASSERT_TRUE(std::holds_alternative<ReleaseRefusal>(signature_outcome));
    EXPECT_EQ(std::get<ReleaseRefusal>(signature_outcome).kind, RefusalKind::bad_signature);
    EXPECT_EQ(std::get<ReleaseRefusal>(signature_outcome).text, signature_error);
    const auto damaged_outcome = obtain(damaged.url());
    ASSERT_TRUE(std::holds_alternative<ReleaseRefusal>(damaged_outcome));
    EXPECT_EQ(std::get<ReleaseRefusal>(damaged_outcome).kind, RefusalKind::damaged);
}

// The manifest and the signature of one source are asked for together: a
// failure of either, in either order of arrival, gives the same outcome.
TEST(ObtainRelease, EitherRequestOfASourceMayFailFirst) {
    const std::string from_static = manifest_text("2.0.0-static");
    struct Case {
        const char* name;
        const char* failing;  // the API request that fails
        int delay_ms;         // how long the other API answer takes
    };
    const Case cases[] = {
        {"manifest fails, signature slow", api_manifest, 400},
        {"manifest fails, signature fast", api_manifest, 0},
        {"signature fails, manifest slow", api_sig, 400},
        {"signature fails, manifest fast", api_sig, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseSite site;
        const std::string from_api = manifest_text("2.0.0-api");
        const std::string other = std::string{c.failing} == api_manifest ? api_sig : api_manifest;
        const std::string other_body = other == api_sig ? test::demo_signature(from_api) : from_api;
        site.serve_raw(c.failing, http_response(500, "oops"));
        site.handle(other, [&, body = other_body](const HttpRequest&, HttpConnection& conn) {
            Sleep(c.delay_ms);
            conn.send(http_response(200, body));
        });
        site.serve_signed(static_manifest, static_sig, from_static);

        const auto outcome = obtain(site.url());
        const auto* release = std::get_if<Release>(&outcome);
        ASSERT_NE(release, nullptr) << refusal_text(outcome);
        EXPECT_EQ(release->source, ReleaseSource::static_files);
        EXPECT_EQ(release->version, "2.0.0-static");
    }
    // Both static requests failing: the manifest's error is the one reported,
    // whichever of the two answered first.
    for (const int manifest_delay : {0, 400}) {
        SCOPED_TRACE(manifest_delay);
        ReleaseSite site;
        site.handle(static_manifest, [manifest_delay](const HttpRequest&, HttpConnection& conn) {
            Sleep(manifest_delay);
            conn.send(http_response(410, "gone"));
        });
        site.serve_raw(static_sig, http_response(503, "busy"));
        EXPECT_EQ(refusal_text(obtain(site.url())), cannot_reach_prefix + "server replied 410" + cannot_reach_suffix);
    }
}

// ---- download -------------------------------------------------------------

test::Bytes executable_of(std::size_t size) {
    test::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7919) >> 8);
    return bytes;
}

Release release_for(std::span<const std::uint8_t> executable, ReleaseSource source) {
    return Release{"2.0.0", "Virelo-2.0.0.exe", executable.size(), sha256_hex(executable), source, std::nullopt,
                   std::nullopt, {}, {}, {}};
}

// Sends the body in two parts with a pause between, so that one read ends
// exactly at `split`.
test::HttpHandler split_body(test::Bytes body, std::size_t split, bool declare_length = true) {
    return [body = std::move(body), split, declare_length](const HttpRequest&, HttpConnection& c) {
        std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        if (declare_length) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        c.send(head + "\r\n");
        c.send(std::span{body}.first(split));
        Sleep(300);
        c.send(std::span{body}.subspan(split));
    };
}

const std::string downloading = "Downloading Virelo 2.0.0\u2026";

// The download writes into the (test) install folder; the fixture points test
// mode at a fresh one.
class DownloadRelease : public InstallFixture {
protected:
    Expected<StagedExecutable> download(const Release& release, const std::string& site) {
        return download_release(release, site, *session());
    }
    test::Bytes staged_bytes() const { return win::read_file(staged_exe_path()).value_or(test::Bytes{}); }
};

TEST_F(DownloadRelease, ProgressCountsMegabytesOfTheDeclaredLength) {
    StatusRecorder status;
    ASSERT_TRUE(status.ok());
    const test::Bytes executable = executable_of(5'000'000);
    ReleaseSite site;
    site.handle(api_exe, split_body(executable, 1'048'576));

    const auto result = download(release_for(executable, ReleaseSource::release_api), site.url());
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.value().path, staged_exe_path());
    EXPECT_TRUE(staged_bytes() == executable);

    const auto posted = status.take();
    ASSERT_GE(posted.size(), 3u);
    EXPECT_EQ(posted.front().text, downloading);
    EXPECT_EQ(posted.front().progress, 0);
    // The first update that counts one megabyte is the read that ended exactly there.
    const auto first_mb = std::find_if(posted.begin(), posted.end(),
                                       [](const Posted& p) { return p.text == downloading + " 1 of 5 MB"; });
    ASSERT_NE(first_mb, posted.end());
    EXPECT_EQ(first_mb->progress, 209);
    EXPECT_EQ(posted.back().text, downloading + " 4 of 5 MB");
    EXPECT_EQ(posted.back().progress, 1000);
    for (std::size_t i = 1; i < posted.size(); ++i) {
        EXPECT_GE(posted[i].progress, posted[i - 1].progress);
        EXPECT_EQ(posted[i].text.rfind(downloading + " ", 0), 0u) << posted[i].text;
    }
    EXPECT_EQ(site.targets(), std::vector<std::string>{api_exe});
}

TEST_F(DownloadRelease, TotalFallsBackToTheManifestSize) {
    struct Case {
        const char* name;
        std::size_t body_size;
        std::optional<std::size_t> declared;  // Content-Length, or none
        std::uint64_t manifest_size;
        std::string last_text;
        std::int32_t last_progress;
        bool succeeds;
    };
    const Case cases[] = {
        {"below one megabyte", 300'000, 300'000, 300'000, " 0 of 1 MB", 1000, true},
        {"no Content-Length", 3'000'000, std::nullopt, 3'000'000, " 2 of 3 MB", 1000, true},
        {"Content-Length differs from size", 2'000'000, 2'000'000, 5'000'000, " 1 of 2 MB", 1000, false},
        {"size 0 without Content-Length", 10'000, std::nullopt, 0, " 0 of 0 MB", 1000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StatusRecorder status;
        const test::Bytes body = executable_of(c.body_size);
        Release release = release_for(body, ReleaseSource::static_files);
        release.size = c.manifest_size;
        ReleaseSite site;
        site.handle("/Virelo-2.0.0.exe", [&](const HttpRequest&, HttpConnection& conn) {
            std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
            if (c.declared) head += "Content-Length: " + std::to_string(*c.declared) + "\r\n";
            conn.send(head + "\r\n");
            conn.send(body);
        });

        const auto result = download(release, site.url());
        EXPECT_EQ(result.ok(), c.succeeds);
        if (!c.succeeds) {
            EXPECT_EQ(result.error(), mismatch_error);
        }

        const auto posted = status.take();
        ASSERT_GE(posted.size(), 2u);
        EXPECT_EQ(posted.back().text, downloading + c.last_text);
        EXPECT_EQ(posted.back().progress, c.last_progress);
        for (std::size_t i = 1; i < posted.size(); ++i) {
            // Until the end nothing shows more than the total in megabytes.
            EXPECT_EQ(posted[i].text.substr(posted[i].text.find(" of ")), c.last_text.substr(c.last_text.find(" of ")));
        }
        EXPECT_EQ(site.targets(), std::vector<std::string>{"/Virelo-2.0.0.exe"});
    }
}

// Nothing but the signed bytes is accepted, and a refused download leaves
// nothing behind: no staged file, and no install folder it had to make.
TEST_F(DownloadRelease, OnlyTheSignedBytesAreAcceptedAndARefusalLeavesNothing) {
    const test::Bytes executable = executable_of(3'000'000);
    test::Bytes short_one(executable.begin(), executable.end() - 1);
    test::Bytes changed = executable;
    changed[2'500'000] ^= 1;
    struct Case {
        const char* name;
        std::string response;
        std::string error;
    };
    const auto body = [](const test::Bytes& b) { return std::string{b.begin(), b.end()}; };
    const Case cases[] = {
        {"404", http_response(404, "gone"), "Could not download Virelo (server replied 404)."},
        {"one byte short", http_response(200, body(short_one)), mismatch_error},
        {"one byte changed", http_response(200, body(changed)), mismatch_error},
        {"cut off", "HTTP/1.1 200 OK\r\nContent-Length: 3000000\r\n\r\n" + body(short_one).substr(0, 2'000'000),
         "Could not download Virelo (download interrupted)."},
    };
    for (const bool folder_existed : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string{c.name} + (folder_existed ? ", folder existed" : ", first install"));
            win::delete_tree(install_dir());
            if (folder_existed) {
                ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
            }
            StatusRecorder status;
            ReleaseSite site;
            site.serve_raw(api_exe, c.response);
            const auto result = download(release_for(executable, ReleaseSource::release_api), site.url());
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error(), c.error);
            EXPECT_FALSE(win::path_exists(staged_exe_path()));
            EXPECT_EQ(win::path_exists(install_dir()), folder_existed);
        }
    }
}

TEST_F(DownloadRelease, StagedLeftoverIsOverwritten) {
    const test::Bytes executable = executable_of(100'000);
    ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
    test::Bytes leftover = executable;
    leftover.resize(executable.size() * 2, 0xAB);  // longer, so a missing truncation shows
    ASSERT_TRUE(win::write_file(staged_exe_path(), leftover).ok());
    StatusRecorder status;
    ReleaseSite site;
    site.serve(api_exe, std::string{executable.begin(), executable.end()});

    const auto result = download(release_for(executable, ReleaseSource::release_api), site.url());
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_TRUE(staged_bytes() == executable);
}

TEST_F(DownloadRelease, FileSystemFailuresCarryTheOsErrorDetail) {
    struct Case {
        const char* name;
        const char* blocker;  // relative to the test folder
        bool blocker_is_folder;
        std::string text;
    };
    const Case cases[] = {
        {"a file where a folder should be", "Programs", false,
         "Could not create the folder: " + os_error_detail(ERROR_PATH_NOT_FOUND)},
        {"a folder where the staged file should be", "Programs\\Virelo\\Virelo.exe.new", true,
         "Could not write the file: " + os_error_detail(ERROR_ACCESS_DENIED)},
    };
    const test::Bytes executable = executable_of(1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string programs = folder_.file("Programs");
        test::remove_if_present(programs);
        win::delete_tree(programs);
        const std::string blocker = folder_.file(c.blocker);
        ASSERT_TRUE((c.blocker_is_folder ? win::create_folder_chain(blocker)
                                         : win::write_file(blocker, bytes_of("not a folder")))
                        .ok());
        StatusRecorder status;
        ReleaseSite site;
        site.serve(api_exe, std::string{executable.begin(), executable.end()});

        const auto result = download(release_for(executable, ReleaseSource::release_api), site.url());
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), c.text);
        EXPECT_FALSE(win::path_exists(installed_exe_path()));
    }
    win::delete_tree(folder_.file("Programs"));
}

TEST(MatchesRelease, ComparesLengthThenDigest) {
    const test::Bytes executable = executable_of(1000);
    const Release release = release_for(executable, ReleaseSource::release_api);
    EXPECT_TRUE(matches_release(executable, release));
    EXPECT_FALSE(matches_release(std::span{executable}.first(999), release));
    Release other_size = release;
    other_size.size = 999;
    EXPECT_FALSE(matches_release(executable, other_size));
    Release upper = release;
    for (char& ch : upper.sha256) ch = static_cast<char>(toupper(ch));
    EXPECT_FALSE(matches_release(executable, upper));  // the reader lowers it; the comparison does not
}

using IsCurrent = InstallFixture;

TEST_F(IsCurrent, OnlyTheSameBytesAreCurrent) {
    const test::Bytes executable = executable_of(70'000);
    const Release release = release_for(executable, ReleaseSource::release_api);
    EXPECT_FALSE(is_current(release));  // nothing installed

    install(executable);
    EXPECT_TRUE(is_current(release));

    test::Bytes same_size = executable;
    same_size[0] ^= 0xFF;
    install(same_size);
    EXPECT_FALSE(is_current(release));

    install(std::span{executable}.first(69'999));
    EXPECT_FALSE(is_current(release));

    // A locked file cannot be read: not current.
    install(executable);
    const win::unique_file lock{CreateFileW(win::to_wide(installed_exe_path()).c_str(), GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(lock);
    EXPECT_FALSE(is_current(release));
}

// ---- a real release site ---------------------------------------------------

// Run by the nginx-test script against a site that `virelo-release publish`
// wrote: the stand-in 1.0.0 at the top (release API and static files) and the
// stand-in 1.1.0 in static/ (static files only), served by nginx with
// deploy/nginx.conf or by `virelo-release serve`.
using LiveSite = DownloadRelease;

TEST_F(LiveSite, ReleaseFromTheApiAndFromTheStaticFiles) {
    const char* site = std::getenv("VIRELO_LIVE_SITE");
    if (!site) GTEST_SKIP() << "needs the nginx-test script";
    StatusRecorder status;

    struct Case {
        std::string site;
        ReleaseSource source;
        std::string version;
        std::string file;
        std::string executable;  // in the build folder
    };
    const Case cases[] = {
        {site, ReleaseSource::release_api, "1.0.0", "Virelo-1.0.0.exe", "Virelo.exe"},
        {std::string{site} + "static/", ReleaseSource::static_files, "1.1.0", "Virelo-1.1.0.exe",
         "standin/Virelo-1.1.0.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.site);
        const auto outcome = obtain(c.site);
        const auto* release = std::get_if<Release>(&outcome);
        ASSERT_NE(release, nullptr) << refusal_text(outcome);
        EXPECT_EQ(release->source, c.source);
        EXPECT_EQ(release->version, c.version);
        EXPECT_EQ(release->file, c.file);

        const auto expected = win::read_file(test::build_file(c.executable));
        ASSERT_TRUE(expected.has_value());
        const auto downloaded = download(*release, c.site);
        ASSERT_TRUE(downloaded.ok()) << downloaded.error();
        EXPECT_TRUE(staged_bytes() == *expected);
        const auto posted = status.take();
        ASSERT_FALSE(posted.empty());
        EXPECT_EQ(posted.back().progress, 1000);
    }
}

}  // namespace
}  // namespace virelo
