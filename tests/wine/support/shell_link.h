#pragma once
// Reading a shell link back through the shell-link object, as the system does.
// The calling thread has initialised COM.

#include <optional>
#include <string>

namespace virelo::test {

struct ShellLink {
    std::string target, arguments, working_folder, description, icon;
    int icon_index = -1;
};

// The link's properties ("<failed>" for one that cannot be read), or nothing
// when the file cannot be loaded as a link.
std::optional<ShellLink> read_shell_link(const std::string& file);

// Expects `file` to be a Virelo shortcut as the install writes it: the setup
// copy, no arguments, the install folder, the description and the icon.
void expect_link_to_setup_copy(const std::string& file);

}  // namespace virelo::test
