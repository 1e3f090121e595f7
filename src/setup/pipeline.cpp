#include "setup/pipeline.h"

#include <utility>
#include <variant>

#include "common/win/command_line.h"
#include "common/win/files.h"
#include "install/launch.h"
#include "install/recovery.h"
#include "foundation/names.h"
#include "install/registration.h"
#include "install/shortcuts.h"
#include "migration/migration.h"
#include "release/download.h"
#include "release/obtain_release.h"
#include "release/release_constants.h"
#include "release/site.h"
#include "foundation/status_channel.h"

namespace virelo {
namespace {

// Downloads and swaps in the release when the installed executable is not it.
// The downloaded bytes live only until they are on disk.
Result bring_executable_up_to_date(const Release& release, const std::string& site, const PipelineOptions& options) {
    if (is_current(release)) return Result::success();
    auto bytes = download_release(release, site);
    if (!bytes) return Result::failure(bytes.error());
    return install_executable(bytes.value(), options.close_timing, options.swap_timing);
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
    const bool was_installed = win::path_exists(installed_exe_path());

    const std::string site = resolve_site(options.args, default_release_site);
    post_status("Checking for updates\u2026", progress_indeterminate);

    ReleaseOutcome outcome = obtain_release(site, was_installed);
    if (auto* error = std::get_if<ErrorText>(&outcome)) return Result::failure(std::move(error->text));
    if (std::holds_alternative<Finished>(outcome)) return Result::success();
    const Release& release = std::get<Release>(outcome);

    write_site_value(site);

    if (Result placed = bring_executable_up_to_date(release, site, options); !placed) return placed;

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
