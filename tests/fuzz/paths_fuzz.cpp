// The name and path code: the path join and split, the names of the
// installation, the manifest's file name rule, the uninstall entry's command
// and the folder-removal command, on arbitrary texts (fields cut at NUL).

#include <cstdint>
#include <string>
#include <vector>

#include "common/path.h"
#include "foundation/install_names.h"
#include "fuzz_input.h"
#include "install/registration_values.h"
#include "release/release.h"
#include "uninstall/folder_removal.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("paths_fuzz", what);
}

bool plain(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace virelo;
    const std::vector<std::string> f = fuzz::fields_of(fuzz::text_of(data, size), '\0', 3);
    const std::string& a = f[0];
    const std::string b = f.size() > 1 ? f[1] : std::string{};
    const std::string c = f.size() > 2 ? f[2] : std::string{};

    // Split: the parent and the last component are pieces of the path.
    const std::string_view last = last_path_component(a);
    const std::string_view parent = parent_folder(a);
    check(std::string_view{a}.ends_with(last), "the last component is not the path's end");
    check(std::string_view{a}.starts_with(parent), "the parent is not the path's start");
    check(parent.size() + last.size() <= a.size(), "parent and last component overlap");
    check(last.find_first_of("\\/") == std::string_view::npos, "a separator in the last component");

    // Join: the second part is kept whole at the end, the first at the start.
    const std::string joined = path_join(a, b);
    check(joined.starts_with(a) && joined.ends_with(b), "the join lost a part");
    check(joined.size() <= a.size() + b.size() + 1, "the join added more than one separator");
    if (!b.empty() && b.find_first_of("\\/") == std::string::npos) {
        check(last_path_component(joined) == b || a.empty(), "the joined name is not the last component");
    }

    // Comparison: an equivalence.
    check(same_path_components(a, a), "a path differs from itself");
    check(same_path_components(a, b) == same_path_components(b, a), "the comparison is not symmetric");

    // The names of an installation end in the fixed names whatever the folders.
    const naming::TestFolder test_folder = c.empty() ? naming::TestFolder{} : naming::TestFolder{a};
    check(naming::install_dir(test_folder, b).ends_with("Programs\\Virelo"), "install folder name");
    check(naming::shortcut_path(test_folder, naming::start_menu_test_name, b).ends_with(".lnk"), "shortcut name");
    const std::string log = naming::diagnostic_log_path(test_folder, b);
    check(log.empty() || log.ends_with("setup.log"), "log name");

    // The manifest's file name rule: plain ASCII, no "..", ".exe" at the end.
    if (is_acceptable_file_name(a)) {
        for (const char ch : a) check(plain(ch), "an accepted file name holds another character");
        check(a.find("..") == std::string::npos, "an accepted file name holds ..");
        check(a.size() >= 4, "an accepted file name is too short");
    }

    // The uninstall entry's command keeps the path whole inside its quotes.
    check(uninstall_command(a) == "\"" + a + "\" --uninstall", "uninstall command");

    // The removal command never carries the install folder's path: only the
    // system folder and plain names stand on cmd.exe's line.
    if (const auto removal = folder_removal_command(c, a, b)) {
        check(removal->application == path_join(c, "cmd.exe"), "removal runs another program");
        check(removal->working_folder == parent_folder(a) || std::string_view{a}.ends_with('\\') ||
                  std::string_view{a}.ends_with('/'),
              "removal runs elsewhere");
        std::string line = removal->command_line;
        check(!c.empty(), "removal without a system folder");
        for (std::size_t at; (at = line.find(c)) != std::string::npos;) line.erase(at, c.size());
        for (const char ch : line) {
            check(ch != '%' && ch != '!' && ch != '^' && ch != '(' && ch != ')', "removal command with cmd syntax");
        }
    }
    return 0;
}
