#pragma once
// Carrying the legacy roaming data folder over to Virelo's, never at the cost
// of a file of either.

#include <string>

namespace virelo {

// Gives `legacy_folder` the name `folder` when that name is free. When
// `folder` exists already, moves in every entry whose name is free there,
// merging folders that both have, and leaves an entry whose name is taken
// where it is (nothing is overwritten); the legacy folder goes once it is
// empty. True when nothing is left to do: there was nothing to move, or every
// entry moved or met one of the same name. False when something could not
// move (a file in use, a `folder` that is a file): the migration then stays
// pending and the next start tries again.
bool move_roaming_data(const std::string& legacy_folder, const std::string& folder);

}  // namespace virelo
