#include "setup/pipeline.h"

namespace virelo {

Result run_install() {
    // The phases are composed here as they are built; none exists yet.
    return Result::success();
}

}  // namespace virelo
