#include "install/recovery.h"

#include <string>

#include "common/win/files.h"
#include "foundation/names.h"

namespace virelo {

void recover_interrupted_run() {
    const std::string installed = installed_exe_path();
    const std::string backup = backup_exe_path();
    // Killed between the two renames of a swap: the old executable is whole
    // under the backup name, and it is the only one there is.
    if (!win::path_exists(installed) && win::path_exists(backup)) {
        win::rename_durably(backup, installed, win::ExistingTarget::keep);
    }

    // A staged executable is never trusted across runs: it may be cut short.
    for (const std::string& leftover : {staged_exe_path(), backup, win::temporary_path(setup_copy_path()),
                                        win::temporary_path(version_file_path())}) {
        if (win::path_exists(leftover)) win::delete_file(leftover);
    }
}

}  // namespace virelo
