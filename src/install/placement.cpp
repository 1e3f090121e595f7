#include "install/placement.h"

#include <string>

#include "common/path.h"
#include "common/win/environment.h"
#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "foundation/status_channel.h"

namespace virelo {

PlacementResult install_executable(std::string_view staged, const CloseTiming& close_timing,
                                   const SwapTiming& swap_timing) {
    post_status("Installing\u2026", progress_full);
    // The new bytes are on disk before the application is asked to close, so
    // the application is down only for the swap itself.
    VIRELO_FAILPOINT("install.staged");
    if (!close_running_app(close_timing)) {
        log_ignored("removing the staged executable", win::delete_file(staged));
        return PlacementResult::failure(
            "Virelo is running and did not close. Quit it (tray icon \u2192 Exit) and run the installer again.",
            PlacementFailure::still_running);
    }
    if (const OsResult swapped = swap_in(staged, installed_exe_path(), backup_exe_path(), swap_timing); !swapped) {
        log_line("swapping the new executable in failed: " + swapped.error());
        return PlacementResult::failure("Could not replace the old version of Virelo.", PlacementFailure::not_replaced);
    }
    VIRELO_FAILPOINT("install.swapped");
    return PlacementResult::success();
}

void place_setup_copy() { place_setup_copy_from(win::own_module_path()); }

void place_setup_copy_from(std::string_view own_path) {
    const std::string destination = setup_copy_path();
    // Started from the setup copy (through a shortcut): it is already in place.
    if (own_path.empty() || same_path_components(own_path, destination)) return;

    const auto own_bytes = win::read_file(own_path);
    if (!own_bytes) return;
    const auto existing = win::read_file(destination);
    if (existing && *existing == *own_bytes) return;
    if (const OsResult staged = win::stage_file(destination, *own_bytes); !staged) {
        log_ignored("refreshing the setup copy", staged);
        return;
    }
    VIRELO_FAILPOINT("install.setup_copy_staged");
    log_ignored("refreshing the setup copy", win::commit_staged_file(destination));
    VIRELO_FAILPOINT("install.setup_copy_placed");
}

void write_version_file(std::string_view version) {
    const std::string path = version_file_path();
    const OsResult staged =
        win::stage_file(path, {reinterpret_cast<const std::uint8_t*>(version.data()), version.size()});
    if (!staged) {
        log_ignored("writing the version file", staged);
        return;
    }
    VIRELO_FAILPOINT("install.version_staged");
    log_ignored("writing the version file", win::commit_staged_file(path));
    VIRELO_FAILPOINT("install.version_written");
}

}  // namespace virelo
