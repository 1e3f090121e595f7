#pragma once
// Shell shortcuts to the setup copy. The calling thread has initialised COM
// as a single-threaded apartment. Every failure is silent.
//
// A link is saved under a temporary name beside its own ("Virelo.lnk.new"),
// flushed and renamed into place, so a kill never leaves a half-written link
// under the real name; create_shortcuts() removes such temporary files that
// a killed run left.

#include <string_view>

namespace virelo {

// Writes one shell link, replacing an existing one.
void create_shortcut(std::string_view link_path, std::string_view target, std::string_view icon);

// The start-menu shortcut always; the desktop one only when the start-menu
// shortcut did not exist before, and then first.
void create_shortcuts();

}  // namespace virelo
