// Updates through the smaller downloads a release offers, against a release
// folder that `virelo-release publish` wrote (1.0.0, then 1.1.0 with a delta
// from 1.0.0 and a compressed copy), served from the test process with one
// part damaged, missing or oversized per row. Each row must end with 1.1.0
// installed and started, having taken the route the row expects.
//
// Run by tests/wine/delta-test, which publishes the folder and names it in
// VIRELO_DELTA_FOLDER.

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/win/environment.h"
#include "common/win/files.h"
#include "common/win/wide.h"
#include "foundation/names.h"
#include "install/stop_app.h"
#include "release/release.h"
#include "setup/pipeline.h"
#include "support/http_server.h"
#include "support/release_site.h"
#include "support/scoped_variable.h"
#include "support/test_folder.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::HttpConnection;
using test::HttpRequest;

constexpr char mismatch_error[] =
    "The downloaded file does not match the signed release, so it will not be installed. Please try again later.";

std::string own_path() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return win::from_wide({path, length});
}

Bytes file_bytes(const std::string& path) { return win::read_file(path).value_or(Bytes{}); }

class DeltaUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_FALSE(folder_.empty()) << "run through tests/wine/delta-test (VIRELO_DELTA_FOLDER)";
        const std::string manifest = test::read_text(folder_ + "\\manifest.json").value_or("");
        release_ = read_manifest(manifest);
        ASSERT_TRUE(release_);
        ASSERT_TRUE(release_->compressed);
        ASSERT_EQ(release_->deltas.size(), 1u);
        v1_ = file_bytes(folder_ + "\\" + release_->deltas[0].base_file);
        v2_ = file_bytes(folder_ + "\\" + release_->file);
        ASSERT_FALSE(v1_.empty());
        ASSERT_EQ(v2_.size(), release_->size);
    }
    void TearDown() override {
        end_processes_by_image_path(installed_exe_path());
        CoUninitialize();
    }

    std::string delta_target() const { return "/" + release_->deltas[0].part.file; }
    std::string compressed_target() const { return "/" + release_->compressed->file; }

    Result run(const test::ReleaseSite& site) {
        end_processes_by_image_path(installed_exe_path());
        PipelineOptions options;
        options.args = {own_path(), "--site", site.url()};
        options.swap_timing = {.attempts = 20, .pause_ms = 10};
        return run_install(options);
    }

    void install(const Bytes& executable) {
        end_processes_by_image_path(installed_exe_path());
        win::delete_tree(install_dir());
        ASSERT_TRUE(win::create_folder_chain(install_dir()).ok());
        ASSERT_TRUE(win::write_file(installed_exe_path(), executable).ok());
    }

    // What the run wrote to the diagnostic log, which is started afresh per row.
    std::string log_text() const { return test::read_text(diagnostic_log_path()).value_or(""); }

    std::string folder_ = win::env_text("VIRELO_DELTA_FOLDER");
    std::optional<Release> release_;
    Bytes v1_, v2_;
    test::TestFolder test_folder_{"delta"};
    test::ScopedVariable test_mode_{L"DK_SETUP_TEST", win::to_wide(test_folder_.path())};
};

Bytes damaged(Bytes bytes) {
    bytes[bytes.size() / 2] ^= 0x5a;
    return bytes;
}

TEST_F(DeltaUpdate, EachRouteFallsBackToTheNextAndOnlyTheLastOneFails) {
    enum Installed { v1, v1_changed, nothing };
    struct Case {
        const char* name;
        Installed installed;
        std::function<void(test::ReleaseSite&)> arrange;
        std::vector<std::string> downloads;  // the executable's requests, in order: delta, gz, exe
        std::string log;                     // a line the log must hold
    };
    const std::string delta = delta_target();
    const std::string gz = compressed_target();
    const std::string exe = "/api/release?f=exe";
    const auto flip = [](std::string& body) { body[body.size() / 2] ^= 0x5a; };
    const Case cases[] = {
        {"update through the delta", v1, [](test::ReleaseSite&) {}, {delta}, "download: the delta from the installed executable"},
        {"an installed file the delta was not made for", v1_changed, [](test::ReleaseSite&) {}, {gz},
         "download: no delta starts from the installed executable"},
        {"damaged delta", v1, [&](test::ReleaseSite& s) { s.edit(delta, flip); }, {delta, gz}, "failed (damaged"},
        {"missing delta", v1, [&](test::ReleaseSite& s) { s.withdraw(delta); }, {delta, gz}, "failed (server replied 404)"},
        {"oversized delta", v1, [&](test::ReleaseSite& s) { s.edit(delta, [](std::string& b) { b += std::string(4096, 'x'); }); }, {delta, gz},
         "failed (download interrupted)"},
        {"damaged delta and compressed copy", v1,
         [&](test::ReleaseSite& s) {
             s.edit(delta, flip);
             s.edit(gz, flip);
         },
         {delta, gz, exe}, "trying the whole executable"},
        {"first install through the compressed copy", nothing, [](test::ReleaseSite&) {}, {gz},
         "download: the compressed copy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The row before started the release; it must not hold the files.
        end_processes_by_image_path(installed_exe_path());
        test::remove_if_present(diagnostic_log_path());
        if (c.installed == nothing) {
            win::delete_tree(install_dir());
        } else {
            install(c.installed == v1 ? v1_ : damaged(v1_));
        }
        test::ReleaseSite site{folder_};
        c.arrange(site);
        const Result result = run(site);
        ASSERT_TRUE(result) << result.error() << "\n" << log_text();
        EXPECT_EQ(file_bytes(installed_exe_path()), v2_);
        EXPECT_FALSE(test::file_exists(staged_exe_path()));
        std::vector<std::string> downloads;
        for (const auto& target : site.targets()) {
            if (target.find("manifest") == std::string::npos && target.find("f=sig") == std::string::npos) {
                downloads.push_back(target);
            }
        }
        EXPECT_EQ(downloads, c.downloads);
        EXPECT_NE(log_text().find(c.log), std::string::npos) << log_text();
    }
}

TEST_F(DeltaUpdate, WhenEveryRouteFailsTheLastOnesErrorIsShownAndNothingIsStaged) {
    install(v1_);
    test::ReleaseSite site{folder_};
    site.edit(delta_target(), [](std::string& b) { b[10] ^= 1; });
    site.edit(compressed_target(), [](std::string& b) { b[20] ^= 1; });
    site.edit("/api/release?f=exe", [](std::string& b) { b[30] ^= 1; });
    const Result result = run(site);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), mismatch_error);
    EXPECT_EQ(file_bytes(installed_exe_path()), v1_);
    EXPECT_FALSE(test::file_exists(staged_exe_path()));

    test::ReleaseSite gone{folder_};
    gone.withdraw(delta_target());
    gone.withdraw(compressed_target());
    gone.withdraw("/api/release?f=exe");
    const Result missing = run(gone);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "Could not download Virelo (server replied 404).");
    EXPECT_FALSE(test::file_exists(staged_exe_path()));
}

}  // namespace
}  // namespace virelo
