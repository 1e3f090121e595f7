#pragma once
// Shell shortcuts to the setup copy. The calling thread has initialised COM
// as a single-threaded apartment. Every failure is silent.

#include <string_view>

namespace virelo {

// Writes one shell link, replacing an existing one.
void create_shortcut(std::string_view link_path, std::string_view target, std::string_view icon);

// The start-menu shortcut always; the desktop one only when the start-menu
// shortcut did not exist before.
void create_shortcuts();

}  // namespace virelo
