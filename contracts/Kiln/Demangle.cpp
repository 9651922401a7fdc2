#include "contracts/Kiln/Demangle.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace Kiln {

std::string demangleStdString(const char* mangledName) {
    if (!mangledName) return std::string();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(mangledName, nullptr, nullptr, &status), &std::free);
    if (status != 0 || !demangled) return std::string(mangledName);
    return std::string(demangled.get());
}

}  // namespace Kiln
