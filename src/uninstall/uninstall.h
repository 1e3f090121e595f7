#pragma once

namespace virelo {

// The uninstall mode, run on the main thread; the program ends when it returns.
void run_uninstall();

}  // namespace virelo
