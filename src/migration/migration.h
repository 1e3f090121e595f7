#pragma once

namespace virelo {

// Moves an installation of the predecessor product, Dockling, over to the
// Virelo names: the first phase of the install pipeline. Normal mode only;
// does nothing when no legacy installation is found. Never fails the run.
void migrate_legacy();

}  // namespace virelo
