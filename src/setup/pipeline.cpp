#include "setup/pipeline.h"

#include <memory>
#include <utility>
#include <variant>

#include "common/win/command_line.h"
#include "common/win/files.h"
#include "foundation/names.h"
#include "foundation/status_channel.h"
#include "install/launch.h"
#include "install/registration.h"
#include "install/shortcuts.h"
#include "migration/migration.h"
#include "release/download.h"
#include "release/obtain_release.h"
#include "release/release_constants.h"
#include "release/site.h"

namespace virelo {
namespace {

constexpr char not_replaced_text[] = "Could not replace the old version of Virelo.";

bool installed_copy_present() { return win::path_exists(installed_exe_path()); }

// A refused release leaves the installed copy as it was. An unreachable site
// is no failure for a user who has Virelo: it simply starts. Any other
// refusal starts it too, and is still reported.
Result settle_refusal(const ReleaseRefusal& refusal, bool was_installed) {
    if (refusal.kind == RefusalKind::unreachable) {
        if (was_installed && launch_app(install_dir())) return Result::success();
    } else if (refusal.kind == RefusalKind::bad_signature && was_installed) {
        (void)launch_app(install_dir());
    }
    return Result::failure(refusal.text);
}

// A download or swap that failed has left the installed executable in place:
// a broken mirror must not keep the user from the copy they have.
Result start_installed_copy_and_fail(std::string text) {
    if (installed_copy_present()) (void)launch_app(install_dir());
    return Result::failure(std::move(text));
}

// Downloads and swaps in the release when the installed executable is not
// it. The download goes straight to the staged file; memory holds only a few
// blocks of it at a time.
Result bring_executable_up_to_date(const Release& release, const std::string& site, const HttpSession& session,
                                   const PipelineOptions& options) {
    if (is_current(release)) return Result::success();
    auto staged = download_release(release, site, session);
    if (!staged) return start_installed_copy_and_fail(staged.error());
    Result placed = install_executable(staged.value().path, options.close_timing, options.swap_timing);
    // A copy that refused to close is still running; only a failed swap,
    // which keeps the old executable, starts it.
    if (!placed && placed.error() == not_replaced_text) return start_installed_copy_and_fail(placed.take_error());
    return placed;
}

}  // namespace

Result run_install() {
    PipelineOptions options;
    options.args = win::command_line_arguments();
    return run_install(options);
}

Result run_install(const PipelineOptions& options) {
    migrate_legacy();

    // Taken once, before the release phase, and never refreshed.
    const bool was_installed = installed_copy_present();

    const std::string site = resolve_site(options.args, default_release_site);
    post_status("Checking for updates\u2026", progress_indeterminate);

    // One session for the run, so the executable comes over a connection the
    // check already opened.
    const auto session = std::make_shared<const HttpSession>(options.receive_timeout);
    const auto deadline = SteadyClock::now() +
        (was_installed ? options.check_budget_installed : options.check_budget_first_install);
    ReleaseOutcome outcome = obtain_release(site, session, deadline);
    if (const auto* refusal = std::get_if<ReleaseRefusal>(&outcome)) return settle_refusal(*refusal, was_installed);
    const Release& release = std::get<Release>(outcome);

    write_site_value(site);

    if (Result placed = bring_executable_up_to_date(release, site, *session, options); !placed) return placed;

    // Refreshed on every run that gets here, swapped or already current.
    place_setup_copy();
    write_version_file(release.version);
    create_shortcuts();
    write_uninstall_entry(release);

    post_status("Starting Virelo\u2026", progress_full);
    if (!launch_app(install_dir())) return Result::failure("Virelo is installed but did not start.");
    return Result::success();
}

}  // namespace virelo
