#pragma once

#include <string>

#include "contracts/Basalt/Exception.h"

namespace Hoard {

// What a caller sees when a fixed-size table has no free slot for a new record. The table is
// left unchanged.
class TableFullException : public Basalt::Exception {
  public:
    using Exception::Exception;
    [[noreturn]] static void throwException(const std::string& text) {
        throw TableFullException(text);
    }
};

}  // namespace Hoard
