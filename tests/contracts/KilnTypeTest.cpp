// Type records and their registry (order, duplicates, derivation, attribute lookup, frozen
// records), and the texts of the runtime's type errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "contracts/Basalt/Exception.h"
#include "contracts/Config/FtId.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/ValueTypeDescriptor.h"
#include "contracts/Wirekit/Port.h"

namespace {

using FlowTracking::FtId;
using Kiln::KilnType;

std::size_t position(const std::vector<const KilnType*>& all, std::string_view name) {
    auto it = std::find(all.begin(), all.end(), Kiln::typeNode(name));
    return static_cast<std::size_t>(it - all.begin());
}

TEST(KilnTypeTest, RegistryAndDerivation) {
    static KilnType a("KilnTypeTest::A", {});
    static KilnType b("KilnTypeTest::B", {&a});
    static KilnType c("KilnTypeTest::C", {&b});
    c.attributeIs({1, "size", KilnType::Access::readOnly});
    c.attributeIs({4, "reset", KilnType::Access::function});
    for (KilnType* t : {&a, &b, &c, &a}) Kiln::typeNodeIs(*t);  // again: no change
    Kiln::registerRuntimeTypes();

    const auto all = Kiln::types();
    const std::vector<std::string_view> order{"Kiln::PtrInterface",    "Kiln::Entity",
                                              "Loom::EventLoopThread", "KilnTypeTest::A",
                                              "KilnTypeTest::B",       "KilnTypeTest::C"};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        EXPECT_LT(position(all, order[i]), position(all, order[i + 1])) << order[i];
    }
    EXPECT_EQ(std::count(all.begin(), all.end(), &a), 1);
    EXPECT_EQ(Kiln::typeNode("KilnTypeTest::Missing"), nullptr);

    KilnType impostor("KilnTypeTest::A", {});
    EXPECT_THROW(Kiln::typeNodeIs(impostor), Basalt::AssertException);
    EXPECT_EQ(Kiln::typeNode("KilnTypeTest::A"), &a);
    EXPECT_THROW(c.attributeIs({2, "late", KilnType::Access::readWrite}), Basalt::AssertException);

    const KilnType& thread = *Kiln::typeNode("Loom::EventLoopThread");
    const struct {
        const KilnType& type;
        const KilnType& base;
        bool derived;
    } derivation[] = {
        {c, c, true},       {c, b, true},  {c, a, true},
        {a, c, false},      {b, c, false}, {thread, *Kiln::typeNode("Kiln::PtrInterface"), true},
        {a, thread, false},
    };
    for (const auto& d : derivation) {
        EXPECT_EQ(d.type.isDerived(d.base), d.derived) << d.type.name() << " " << d.base.name();
    }

    ASSERT_NE(c.attribute("reset"), nullptr);
    EXPECT_EQ(c.attribute("reset")->number, 4u);
    EXPECT_EQ(c.attribute(4), c.attribute("reset"));
    EXPECT_EQ(c.attribute(1)->access, KilnType::Access::readOnly);
    EXPECT_EQ(c.attribute(2), nullptr);
    EXPECT_EQ(c.attribute("size2"), nullptr);
}

// The runtime's errors name the types involved (the library's value types are driven through
// their tables elsewhere).
TEST(KilnTypeTest, ErrorsNameTheTypes) {
    static KilnType ftId("KilnTypeTest::FtId");
    Kiln::ValueTypeDescriptor<FtId>(ftId).key().install();
    FtId seven(7);
    static KilnType portType("KilnTypeTest::Port", {});
    Kiln::ValueTypeDescriptor<Wirekit::Port>(portType).install();
    Wirekit::Port port(80);
    const KilnType& entity = *Kiln::typeNode("Kiln::Entity");
    const struct {
        std::function<void()> raise;
        std::string message;
    } errors[] = {
        {[&] { portType.genericIf()->hash(&port, portType); },
         "type KilnTypeTest::Port is not hashable"},
        {[&] { ftId.genericIf()->voidPtrIs(&seven, ftId, entity); },
         "type KilnTypeTest::FtId is not a Kiln::Entity"},
        {[&] { Kiln::throwNewEntityArgsException(*Kiln::typeNode("Loom::EventLoopThread")); },
         "wrong arguments to create a new Loom::EventLoopThread"},
    };
    for (const auto& e : errors) {
        try {
            e.raise();
            ADD_FAILURE() << "no exception: " << e.message;
        } catch (const Basalt::Exception& x) {
            EXPECT_EQ(x.message(), e.message);
        }
    }
}

}  // namespace
