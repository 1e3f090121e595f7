#include "install/recovery.h"

#include <string>

#include "common/win/files.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"

namespace virelo {

void recover_interrupted_run() {
    const std::string installed = installed_exe_path();
    const std::string backup = backup_exe_path();
    // Killed between the two renames of a swap: the old executable is whole
    // under the backup name, and it is the only one there is.
    if (!win::path_exists(installed) && win::path_exists(backup)) {
        log_ignored("restoring the executable a killed run moved aside",
                    win::rename_durably(backup, installed, win::ExistingTarget::keep));
    }

    // A staged executable is never trusted across runs: it may be cut short.
    // The setup copy a finished uninstall left for its removal command is
    // no longer needed either.
    for (const std::string& leftover : {staged_exe_path(), win::temporary_path(setup_copy_path()),
                                        win::temporary_path(version_file_path()), outgoing_setup_copy_path()}) {
        if (win::path_exists(leftover)) log_ignored("removing " + leftover, win::delete_file(leftover));
    }
    // The backup goes only beside a Virelo.exe that is there: one pending
    // deletion looks absent, and then the backup may be the only copy left,
    // even when putting it back failed.
    if (win::path_exists(backup) && win::path_exists(installed)) {
        log_ignored("removing " + backup, win::delete_file(backup));
    }
}

}  // namespace virelo
