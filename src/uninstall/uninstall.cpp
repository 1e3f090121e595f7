#include "uninstall/uninstall.h"

namespace virelo {

void run_uninstall() {}

}  // namespace virelo
