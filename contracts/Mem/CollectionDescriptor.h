#pragma once

namespace Hoard {
struct MapDescriptor;
}

namespace Mem {

// What a collection is opened with, as the table facade's init() receives it: a non-owning view
// of the concrete descriptor. Hoard::MapDescriptor is the only kind a table accepts; it converts
// implicitly, so init(mapDescriptor) reads naturally. A default-constructed view describes no
// table (mapDescriptor() is null), which the facade refuses.
//
// The view does not copy: the descriptor it was made from must outlive the call it is passed to
// (a temporary lives until the end of that call's full expression).
//
// Thread safety: a plain value; one thread uses it.
class CollectionDescriptor {
  public:
    CollectionDescriptor() = default;
    // NOLINTNEXTLINE(google-explicit-constructor): a MapDescriptor is passed as one.
    CollectionDescriptor(const Hoard::MapDescriptor& descriptor) : map_(&descriptor) {}

    // The table descriptor this view shows; null when it shows none.
    const Hoard::MapDescriptor* mapDescriptor() const { return map_; }

  private:
    const Hoard::MapDescriptor* map_ = nullptr;
};

}  // namespace Mem
