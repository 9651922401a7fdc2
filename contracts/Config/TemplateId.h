#pragma once

#include <cstdint>

#include "contracts/Wirekit/NumberValue.h"

namespace FlowTracking {

// The number of a template (flow group), unsigned 16-bit. 65535 is reserved for a tracker's
// clear-time counter entry. Text forms are the decimal number.
class TemplateId : public Wirekit::NumberValue<TemplateId, std::uint16_t> {
  public:
    static constexpr std::uint16_t clearTimeValue = 0xFFFF;
    using NumberValue::NumberValue;
};

static_assert(sizeof(TemplateId) == 2, "a template number is stored as 2 bytes");

}  // namespace FlowTracking
