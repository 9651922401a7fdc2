#include "contracts/Kiln/KilnType.h"

#include <algorithm>

#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/Entity.h"
#include "contracts/Kiln/NameRegistry.h"
#include "contracts/Loom/CrossThreadDesc.h"
#include "contracts/Loom/EventLoopThread.h"

namespace Kiln {

// The runtime's own base records: constant-initialised, so they exist before any registration.
constinit KilnType PtrInterface::_kilnType{"Kiln::PtrInterface"};
constinit KilnType Entity::_kilnType{"Kiln::Entity", {&PtrInterface::_kilnType}};

}  // namespace Kiln

namespace Loom {
constinit Kiln::KilnType CrossThreadDesc::_kilnType{"Loom::CrossThreadDesc",
                                                    {&Kiln::PtrInterface::_kilnType}};
constinit Kiln::KilnType EventLoopThread::_kilnType{"Loom::EventLoopThread",
                                                    {&Kiln::Entity::_kilnType}};
}  // namespace Loom

namespace Kiln {

bool KilnType::isDerived(const KilnType& other) const {
    if (&other == this) return true;
    const auto bases = this->bases();
    return std::any_of(bases.begin(), bases.end(),
                       [&](const KilnType* base) { return base->isDerived(other); });
}

const KilnType::Attribute* KilnType::attribute(std::uint32_t number) const {
    for (const Attribute& a : attributes_) {
        if (a.number == number) return &a;
    }
    return nullptr;
}

const KilnType::Attribute* KilnType::attribute(std::string_view name) const {
    for (const Attribute& a : attributes_) {
        if (a.name == name) return &a;
    }
    return nullptr;
}

void KilnType::attributeIs(Attribute attribute) {
    BASALT_ASSERT(!registered_ && "a registered type record is frozen");
    for (Attribute& a : attributes_) {
        if (a.number == attribute.number) {
            a = std::move(attribute);
            return;
        }
    }
    attributes_.push_back(std::move(attribute));
}

void KilnType::genericIfIs(const GenericIf::Table* table) {
    BASALT_ASSERT(!registered_ && "a registered type record is frozen");
    genericIf_ = table;
}

namespace {

NameRegistry<KilnType>& registry() {
    static NameRegistry<KilnType> r;
    return r;
}

}  // namespace

void typeNodeIs(KilnType& type) {
    registry().add(type.name(), &type, "another type record holds this name",
                   [&] { type.registered_ = true; });
}

const KilnType* typeNode(std::string_view name) { return registry().find(name); }

std::vector<const KilnType*> types() { return registry().all(); }

void registerRuntimeTypes() {
    for (KilnType* t : {&PtrInterface::_kilnType, &Entity::_kilnType,
                        &Loom::CrossThreadDesc::_kilnType, &Loom::EventLoopThread::_kilnType}) {
        typeNodeIs(*t);
    }
}

namespace {
// The runtime's own records are there as soon as the library is loaded.
[[maybe_unused]] const bool runtimeTypesRegistered = (registerRuntimeTypes(), true);
}  // namespace

void throwUnhashableException(const KilnType& type) {
    Basalt::TypeException::throwException("type " + std::string(type.name()) + " is not hashable");
}

void throwTypeException(const KilnType& from, const KilnType& to) {
    Basalt::TypeException::throwException("type " + std::string(from.name()) + " is not a " +
                                          std::string(to.name()));
}

void throwNewEntityArgsException(const KilnType& type) {
    Basalt::InvalidInitializeException::throwException("wrong arguments to create a new " +
                                                       std::string(type.name()));
}

}  // namespace Kiln
