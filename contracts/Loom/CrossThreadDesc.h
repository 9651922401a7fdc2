#pragma once

#include "contracts/Kiln/Ptr.h"

namespace Loom {

// Base of a descriptor that one thread creates and another consumes (through an SPSC queue of
// Kiln::Ptr<CrossThreadDesc>). The queue hands the reference over whole: the producer gives up
// its reference when it pushes, so at any time one thread owns the descriptor and no counting
// races arise even without thread-safe pointers.
class CrossThreadDesc : public Kiln::PtrInterface {
  public:
    ~CrossThreadDesc() override = default;

    const Kiln::KilnType* fwkType() const override { return &_kilnType; }
    static Kiln::KilnType _kilnType;

  protected:
    CrossThreadDesc() = default;
};

}  // namespace Loom
