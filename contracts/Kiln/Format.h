#pragma once

#include "contracts/Kiln/String.h"

namespace Kiln {

// printf-style formatting into a String; the text is never truncated.
String format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Kiln
