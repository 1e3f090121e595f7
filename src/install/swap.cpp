#include "install/swap.h"

#include "common/win/failpoint.h"
#include "common/win/files.h"
#include "foundation/diagnostic_log.h"

namespace virelo {

// The first rename replaces the old file in one step; it is refused while the
// old file is open (with delete sharing: a scanner, a process that reads it)
// or read-only. Such a file can still be renamed, so it is moved aside, never
// deleted: a delete is only pending while a holder keeps the file open, its
// name would block the new file, and the old one would vanish later. The
// application may also hold the file for a moment after it closed, hence the
// retries.
OsResult swap_in(std::string_view staged, std::string_view installed, std::string_view backup,
                 const SwapTiming& timing) {
    VIRELO_FAILPOINT("install.swap_begins");
    OsResult last = OsResult::success();
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        if (attempt > 0) {
            VIRELO_FAILPOINT("install.swap_retry");
            Sleep(timing.pause_ms);
        }
        last = win::rename_durably(staged, installed);
        if (last) return last;
        if (last = win::rename_durably(installed, backup); !last) continue;
        VIRELO_FAILPOINT("install.old_moved_aside");
        if (last = win::rename_durably(staged, installed); last) {
            // Still held, it stays until the next run removes it.
            log_ignored("removing the old executable after the swap", win::delete_file(backup));
            return last;
        }
        // The staged file is held now: the old executable goes back.
        log_ignored("putting the old executable back",
                    win::rename_durably(backup, installed, win::ExistingTarget::keep));
    }
    // A failed swap starts the old executable: it must be under its name.
    if (!win::path_exists(installed)) {
        log_ignored("putting the old executable back",
                    win::rename_durably(backup, installed, win::ExistingTarget::keep));
    }
    return last;
}

}  // namespace virelo
