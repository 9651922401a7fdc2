#pragma once

#include "contracts/Wirekit/TextValue.h"

namespace L3 {

// The name of a VRF ("default", "red"); empty for none.
class VrfName : public Wirekit::TextValue<VrfName> {
  public:
    using TextValue::TextValue;
};

}  // namespace L3
