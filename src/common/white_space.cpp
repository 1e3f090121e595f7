#include "common/white_space.h"

namespace virelo {

bool is_white_space(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c >= 0x2000 && c <= 0x200A) return true;
    switch (c) {
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return false;
    }
}

}  // namespace virelo
