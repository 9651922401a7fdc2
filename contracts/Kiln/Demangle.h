#pragma once

#include <string>

namespace Kiln {

// The human-readable form of a mangled C++ name (as from std::type_info::name()). Returns the
// input unchanged when it is not a valid mangled name; an empty string for null.
std::string demangleStdString(const char* mangledName);

}  // namespace Kiln
