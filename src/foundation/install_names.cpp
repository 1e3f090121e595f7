#include "foundation/install_names.h"

#include "common/path.h"

namespace virelo::naming {

std::string install_dir(const TestFolder& test_folder, std::string_view local_app_data) {
    const std::string_view base = test_folder ? std::string_view{*test_folder} : local_app_data;
    return path_join(path_join(base, "Programs"), "Virelo");
}

std::string shortcut_path(const TestFolder& test_folder, std::string_view test_file_name,
                          std::string_view special_folder) {
    if (test_folder) return path_join(*test_folder, test_file_name);
    return path_join(special_folder, "Virelo.lnk");
}

std::string diagnostic_log_path(const TestFolder& test_folder, std::string_view local_app_data) {
    if (test_folder) return path_join(*test_folder, "setup.log");
    if (local_app_data.empty()) return {};
    return path_join(path_join(local_app_data, "Virelo"), "setup.log");
}

std::string_view launcher_key(bool test_mode) {
    return test_mode ? "Software\\VireloSetupTest\\Launcher" : "Software\\Virelo\\Launcher";
}

std::string_view uninstall_key(bool test_mode) {
    return test_mode ? "Software\\VireloSetupTest\\Uninstall"
                     : "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Virelo";
}

std::string_view app_window_class(bool test_mode) { return test_mode ? "VireloDevWnd" : "VireloWnd"; }

}  // namespace virelo::naming
