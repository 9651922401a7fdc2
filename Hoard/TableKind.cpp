#include "Hoard/TableKind.h"

#include <map>
#include <mutex>

#include "contracts/Basalt/Exception.h"

namespace Hoard {

namespace {

// A function-local static, so that kinds registered by static initialisers of other translation
// units find it constructed.
struct Registry {
    std::mutex mutex;
    std::map<std::string, const TableKind*, std::less<>> byName;
    std::vector<const TableKind*> inOrder;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void tableKindIs(const TableKind& kind) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto [it, added] = r.byName.emplace(std::string(kind.valueTypeName()), &kind);
    if (!added) {
        BASALT_ASSERT(it->second == &kind && "another table kind holds this value type");
        return;
    }
    r.inOrder.push_back(&kind);
}

const TableKind* tableKind(std::string_view valueTypeName) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(valueTypeName);
    return it == r.byName.end() ? nullptr : it->second;
}

std::vector<const TableKind*> tableKinds() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.inOrder;
}

}  // namespace Hoard
