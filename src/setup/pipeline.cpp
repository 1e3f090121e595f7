#include "setup/pipeline.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "common/win/command_line.h"
#include "common/win/files.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "foundation/status_channel.h"
#include "install/launch.h"
#include "install/recovery.h"
#include "install/registration.h"
#include "install/shortcuts.h"
#include "migration/migration.h"
#include "release/digest.h"
#include "release/download.h"
#include "release/obtain_release.h"
#include "release/release_constants.h"
#include "release/site.h"

namespace virelo {
namespace {

bool installed_copy_present() { return win::path_exists(installed_exe_path()); }

bool start_installed_copy() {
    const bool started = launch_app(install_dir());
    log_line(started ? "started the installed copy" : "the installed copy did not start");
    return started;
}

// A refused release leaves the installed copy as it was. An unreachable site
// is no failure for a user who has Virelo: it simply starts. Any other
// refusal (a bad signature, a damaged or stale release) starts it too, and is
// still reported.
Result settle_refusal(const ReleaseRefusal& refusal, bool was_installed) {
    log_line("release refused: " + refusal.text);
    if (refusal.kind == RefusalKind::unreachable) {
        if (was_installed && start_installed_copy()) return Result::success();
    } else if (was_installed) {
        (void)start_installed_copy();
    }
    return Result::failure(refusal.text);
}

// A download or swap that failed has left the installed executable in place:
// a broken mirror must not keep the user from the copy they have.
Result start_installed_copy_and_fail(std::string text) {
    if (installed_copy_present()) (void)start_installed_copy();
    return Result::failure(std::move(text));
}

std::int64_t utc_now() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    // 100 ns ticks since 1601 to seconds since 1970.
    return static_cast<std::int64_t>(ticks / 10'000'000) - 11'644'473'600;
}

// A signed release that is older than one this machine already accepted (a
// replay) or past its expiry (a frozen site) is refused like a bad signature.
std::optional<ReleaseRefusal> refuse_if_stale(const Release& release, std::optional<std::uint64_t> recorded) {
    switch (judge_freshness(release, utc_now(), recorded)) {
    case Freshness::fresh:
        return std::nullopt;
    case Freshness::expired:
        return ReleaseRefusal{RefusalKind::stale,
                              "The release on the site has expired, so it will not be installed. "
                              "Please report this to the Virelo developer."};
    case Freshness::older:
        break;
    }
    return ReleaseRefusal{RefusalKind::stale,
                          "The release on the site is older than one already installed, so it will not be "
                          "installed. Please report this to the Virelo developer."};
}

// Downloads and swaps in the release when the installed executable is not
// it. The download goes straight to the staged file; memory holds only a few
// blocks of it at a time.
Result bring_executable_up_to_date(const Release& release, const std::optional<FileDigest>& installed,
                                   const std::string& site, const HttpSession& session,
                                   const PipelineOptions& options) {
    if (is_current(release, installed)) {
        log_line("run: start only (the installed executable is this release)");
        return Result::success();
    }
    if (installed_copy_present()) log_line("run: update of the installed executable to " + release.version);
    auto staged = download_release(release, site, session, installed);
    if (!staged) return start_installed_copy_and_fail(staged.error());
    PlacementResult placed = install_executable(staged.value().path, options.close_timing, options.swap_timing);
    // A copy that refused to close is still running; only a failed swap,
    // which keeps the old executable, starts it.
    if (!placed && placed.kind() == PlacementFailure::not_replaced) {
        return start_installed_copy_and_fail(placed.take_error());
    }
    return std::move(placed).reported();
}

}  // namespace

Result run_install() {
    PipelineOptions options;
    options.args = win::command_line_arguments();
    return run_install(options);
}

Result run_install(const PipelineOptions& options) {
    // Before anything looks at the installed executable: a killed earlier
    // run may have left it moved aside.
    recover_interrupted_run();
    migrate_legacy();

    // Taken once, before the release phase, and never refreshed.
    const bool was_installed = installed_copy_present();
    // What kind of run this is as it starts; the update, or a start that
    // changes nothing, is told once the release is known.
    log_line(was_installed ? "run: start of the installed Virelo (updated if the site has a newer release)"
                           : "run: first install");

    const SiteChoice choice =
        choose_site(options.args, options.default_site.empty() ? default_release_site : options.default_site);
    const std::string& site = choice.site;
    log_line("site " + site + " (" + choice.reason + "); Virelo " + (was_installed ? "installed" : "not installed"));
    post_status("Checking for updates\u2026", progress_indeterminate);

    // One session for the run, so the executable comes over a connection the
    // check already opened.
    const auto session = std::make_shared<const HttpSession>(options.receive_timeout);
    const auto deadline = SteadyClock::now() +
        (was_installed ? options.check_budget_installed : options.check_budget_first_install);
    // The installed executable is digested by this thread while the release
    // description is on its way: an up-to-date start then costs the longer of
    // the two, not their sum, without a thread of its own (under Wine every
    // thread keeps about 1 MiB of stack resident). Nothing is read when there
    // is nothing installed.
    std::optional<FileDigest> installed_digest;
    ReleaseOutcome outcome = obtain_release(site, session, deadline, [&] {
        if (was_installed) installed_digest = digest_file(installed_exe_path());
    });
    if (const auto* refusal = std::get_if<ReleaseRefusal>(&outcome)) return settle_refusal(*refusal, was_installed);
    const Release& release = std::get<Release>(outcome);
    const std::optional<std::uint64_t> recorded_serial = read_serial_value();
    if (const auto refusal = refuse_if_stale(release, recorded_serial)) return settle_refusal(*refusal, was_installed);
    log_line("release " + release.version + ": " + release.file + ", " + std::to_string(release.size) + " bytes, from the " +
             (release.source == ReleaseSource::release_api ? "release API" : "static files") +
             (release.serial ? ", serial " + std::to_string(*release.serial) : std::string{}));

    write_site_value(site);
    // The highest serial accepted so far; a later replay of an older one is refused.
    if (release.serial && (!recorded_serial || *release.serial > *recorded_serial)) write_serial_value(*release.serial);

    if (Result placed = bring_executable_up_to_date(release, installed_digest, site, *session, options);
        !placed) {
        return placed;
    }

    // Refreshed on every run that gets here, swapped or already current.
    place_setup_copy();
    write_version_file(release.version);
    create_shortcuts();
    write_uninstall_entry(release);

    post_status("Starting Virelo\u2026", progress_full);
    if (!start_installed_copy()) return Result::failure("Virelo is installed but did not start.");
    return Result::success();
}

}  // namespace virelo
