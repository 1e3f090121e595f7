#include "install/swap.h"

#include "common/win/failpoint.h"
#include "common/win/files.h"

namespace virelo {

// The first rename replaces the old file in one step; it is refused while the
// old file is open (with delete sharing: a scanner, a process that reads it)
// or read-only. Such a file can still be renamed, so it is moved aside, never
// deleted: a delete is only pending while a holder keeps the file open, its
// name would block the new file, and the old one would vanish later. The
// application may also hold the file for a moment after it closed, hence the
// retries.
bool swap_in(std::string_view staged, std::string_view installed, std::string_view backup,
             const SwapTiming& timing) {
    VIRELO_FAILPOINT("install.swap_begins");
    for (int attempt = 0; attempt < timing.attempts; ++attempt) {
        if (attempt > 0) {
            VIRELO_FAILPOINT("install.swap_retry");
            Sleep(timing.pause_ms);
        }
        if (win::rename_durably(staged, installed) == ERROR_SUCCESS) return true;
        if (win::rename_durably(installed, backup) != ERROR_SUCCESS) continue;
        VIRELO_FAILPOINT("install.old_moved_aside");
        if (win::rename_durably(staged, installed) == ERROR_SUCCESS) {
            // Still held, it stays until the next run removes it.
            win::delete_file(backup);
            return true;
        }
        // The staged file is held now: the old executable goes back.
        win::rename_durably(backup, installed, win::ExistingTarget::keep);
    }
    // A failed swap starts the old executable: it must be under its name.
    if (!win::path_exists(installed)) win::rename_durably(backup, installed, win::ExistingTarget::keep);
    return false;
}

}  // namespace virelo
