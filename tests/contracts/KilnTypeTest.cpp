// Type records and their registry (order, duplicates, derivation, attribute lookup, frozen
// records), and the generic function tables of value types, driven through their function
// pointers only: construct, hash, text round trip, value and attribute ops, type errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "contracts/Basalt/Exception.h"
#include "contracts/Config/FtId.h"
#include "contracts/Kiln/KilnType.h"
#include "contracts/Kiln/ValueTypeDescriptor.h"
#include "contracts/Wirekit/IpAddr.h"
#include "contracts/Wirekit/Port.h"

namespace {

using FlowTracking::FtId;
using Kiln::GenericIf;
using Kiln::KilnType;
using Wirekit::IpAddr;

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

KilnType& ftIdType() {
    static KilnType t("KilnTypeTest::FtId", {});
    Kiln::ValueTypeDescriptor<FtId>(t)
        .key()
        .readOnly(1, "value", &FtId::value)
        .function(2, "valid", &FtId::valid)
        .install();
    return t;
}

KilnType& ipAddrType() {
    static KilnType t("KilnTypeTest::IpAddr", {});
    Kiln::ValueTypeDescriptor<IpAddr>(t)
        .key()
        .readWrite(1, "value", &IpAddr::value,
                   [](IpAddr& a, std::uint32_t v) { a = IpAddr::fromHostOrder(v); })
        .install();
    return t;
}

// Constructs a copy through the table, prints it, parses the text back into a default value
// and compares through the table.
template <class T>
void roundTrip(const KilnType& type, const T& value, const char* text, std::uint32_t hash) {
    const GenericIf::Table& g = *type.genericIf();
    alignas(T) unsigned char copy[sizeof(T)], parsed[sizeof(T)];
    g.construct(copy, &value);
    g.construct(parsed, nullptr);
    EXPECT_EQ(g.strRep(copy, type).stdString(), text);
    g.strepToValue(parsed, g.strRep(copy, type), type);
    bool equal = false;
    EXPECT_EQ(g.attributeOp(&equal, parsed, 0, GenericIf::isEqual, copy, nullptr), 0);
    EXPECT_TRUE(equal) << text;
    EXPECT_EQ(g.hash(parsed, type), hash) << text;
    EXPECT_EQ(g.voidPtrIs(parsed, type, type), parsed);
    g.destruct(copy);
    g.destruct(parsed);
}

TEST(KilnTypeTest, ValueTables) {
    const KilnType& ftId = ftIdType();
    const KilnType& ip = ipAddrType();
    roundTrip(ftId, FtId(7), "7", Kiln::hashSingleAttr(0, std::uint32_t{7}));
    roundTrip(ip, IpAddr(10, 0, 0, 1), "10.0.0.1", IpAddr(10, 0, 0, 1).hash());
    EXPECT_EQ(ftId.attribute("valid")->access, KilnType::Access::function);

    FtId seven(7), zero, nine(9);
    IpAddr low(10, 0, 0, 1), high(10, 0, 0, 2);
    const struct {
        const KilnType& type;
        void* value;
        std::uint32_t attribute;
        GenericIf::AttributeOp op;
        const void* argument;
        int code;
        bool result;  // when code is 0
    } ops[] = {
        {ftId, &seven, 0, GenericIf::isDefault, nullptr, 0, false},
        {ftId, &zero, 0, GenericIf::isDefault, nullptr, 0, true},
        {ftId, &seven, 0, GenericIf::isEqual, &nine, 0, false},
        {ftId, &seven, 0, GenericIf::isLess, &nine, 0, true},
        {ftId, &nine, 0, GenericIf::isLess, &seven, 0, false},
        {ip, &low, 0, GenericIf::isLess, &high, 0, true},
        {ftId, &seven, 2, GenericIf::attrCall, nullptr, 0, true},
        {ftId, &zero, 2, GenericIf::attrCall, nullptr, 0, false},
        {ftId, &seven, 2, GenericIf::attrGet, nullptr, 1, false},
        {ftId, &seven, 1, GenericIf::attrSet, &nine, 1, false},
        {ftId, &seven, 1, GenericIf::attrDel, nullptr, 1, false},
        {ftId, &seven, 1, GenericIf::attrReserved, nullptr, 1, false},
        {ftId, &seven, 3, GenericIf::attrGet, nullptr, 2, false},
        {ip, &low, 5, GenericIf::attrSet, &high, 2, false},
    };
    for (const auto& o : ops) {
        bool result = !o.result;
        EXPECT_EQ(o.type.genericIf()->attributeOp(&result, o.value, o.attribute, o.op, o.argument,
                                                  nullptr),
                  o.code)
            << o.type.name() << " op " << o.op << " attribute " << o.attribute;
        if (o.code == 0) {
            EXPECT_EQ(result, o.result) << o.type.name() << " op " << o.op;
        }
    }
    EXPECT_EQ(seven, FtId(7));  // the refused write left it alone

    std::uint32_t number = 0, newNumber = 0x0A000009;
    EXPECT_EQ(ip.genericIf()->attributeOp(&number, &low, 1, GenericIf::attrGet, nullptr, nullptr),
              0);
    EXPECT_EQ(number, 0x0A000001u);
    EXPECT_EQ(
        ip.genericIf()->attributeOp(nullptr, &low, 1, GenericIf::attrSet, &newNumber, nullptr), 0);
    EXPECT_EQ(low, IpAddr(10, 0, 0, 9));

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
