#include "Hoard/TableKind.h"

#include "contracts/Kiln/NameRegistry.h"

namespace Hoard {

namespace {

Kiln::NameRegistry<TableKind>& registry() {
    static Kiln::NameRegistry<TableKind> r;
    return r;
}

}  // namespace

void tableKindIs(const TableKind& kind) {
    registry().add(kind.valueTypeName(), &kind, "another table kind holds this value type");
}

const TableKind* tableKind(std::string_view valueTypeName) {
    return registry().find(valueTypeName);
}

std::vector<const TableKind*> tableKinds() { return registry().all(); }

}  // namespace Hoard
