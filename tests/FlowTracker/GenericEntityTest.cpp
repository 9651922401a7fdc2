// The flow table and counters entities as generic code meets them: through the registry only
// (type name, generic function table, attribute numbers), never through their C++ classes.

#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <set>
#include <string>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FtCounters.h"
#include "KilnHoard/CollectionControl.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Kiln/KilnType.h"
#include "tests/support/Processes.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"

namespace {

using namespace FlowTracking;
using namespace Hoard::FlowTracker;
using Kiln::GenericIf;
using ControlPtr = Kiln::Ptr<KilnHoard::CollectionControl>;

const GenericIf::Table& table(const char* type) { return *Kiln::typeNode(type)->genericIf(); }

// An entity made by the generic interface, and its attribute ops.
struct Generic {
    const char* type;
    Kiln::Ptr<Kiln::Entity> entity = table(type).newEntityForDir(Kiln::Name("generic"), nullptr, 0);

    int op(std::uint32_t attribute, GenericIf::AttributeOp op, void* result,
           const void* argument = nullptr, const void* extra = nullptr) const {
        return table(type).attributeOp(result, static_cast<Kiln::PtrInterface*>(entity.ptr()),
                                       attribute, op, argument, extra);
    }
    void* iterator(std::uint32_t attribute, GenericIf::IteratorTable& it) const {
        return table(type).genericIfIterator(static_cast<Kiln::PtrInterface*>(entity.ptr()),
                                             attribute, &it);
    }
};

TEST(GenericEntity, NewEntityForDirAndCtorArgsMakeTheNamedEntityAndRefuseExtraArguments) {
    for (const char* type : {"FlowTracking::FlowTableBase", "FlowTracking::FlowTable",
                             "Hoard::FlowTracker::FtCounters"}) {
        SCOPED_TRACE(type);
        const Generic g{type};
        EXPECT_EQ(g.entity->name(), Kiln::Name("generic"));
        EXPECT_EQ(g.entity->fwkType(), Kiln::typeNode(type));
        EXPECT_TRUE(g.entity->hasNotificationActive());

        const Kiln::Name name("fromArgs");
        const void* args[] = {&name};
        alignas(Kiln::Ptr<Kiln::Entity>) unsigned char at[sizeof(Kiln::Ptr<Kiln::Entity>)];
        table(type).constructFromCtorArgs(at, args);
        auto* made = std::launder(reinterpret_cast<Kiln::Ptr<Kiln::Entity>*>(at));
        EXPECT_EQ((*made)->name(), name);
        EXPECT_EQ((*made)->fwkType(), Kiln::typeNode(type));
        made->~Ptr();

        EXPECT_THROW(table(type).newEntityForDir(Kiln::Name("x"), args, 1),
                     Basalt::InvalidInitializeException);
    }
}

// Ops 0 to 5 on collection `attribute` (control `control`) with one record, then the ops that
// do not apply: each answers 1 and changes nothing.
template <class V>
void exerciseCollection(const char* type, std::uint32_t attribute, std::uint32_t control,
                        const V& value) {
    SCOPED_TRACE(std::string(type) + " " + std::to_string(attribute));
    const Generic g{type};
    const auto key = value.key();
    V read = value;
    bool present = true;
    std::size_t count = 9;
    EXPECT_EQ(g.op(attribute, GenericIf::attrGet, &read, &key), 0);
    EXPECT_TRUE(read == V{});  // absent: the default record
    EXPECT_EQ(g.op(attribute, GenericIf::attrExists, &present, &key), 0);
    EXPECT_FALSE(present);
    EXPECT_EQ(g.op(attribute, GenericIf::attrSet, nullptr, &value), 0);
    EXPECT_EQ(g.op(attribute, GenericIf::attrExists, &present, &key), 0);
    EXPECT_TRUE(present);
    EXPECT_EQ(g.op(attribute, GenericIf::attrGet, &read, &key), 0);
    EXPECT_TRUE(read == value);
    EXPECT_EQ(g.op(attribute, GenericIf::attrCount, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(g.op(attribute, GenericIf::attrReserved, nullptr), 0);
    EXPECT_EQ(g.op(attribute, GenericIf::attrCall, &read, &key), 1);
    EXPECT_EQ(g.op(attribute, GenericIf::isDefault, &present), 1);
    EXPECT_EQ(g.op(attribute, GenericIf::attrCount, &count), 0);
    EXPECT_EQ(count, 1u);
    V removed;
    EXPECT_EQ(g.op(attribute, GenericIf::attrDel, &removed, &key), 0);
    EXPECT_TRUE(removed == value);
    EXPECT_EQ(g.op(attribute, GenericIf::attrCount, &count), 0);
    EXPECT_EQ(count, 0u);

    ControlPtr own, other = KilnHoard::CollectionControl::collectionControlNew(nullptr), now;
    EXPECT_EQ(g.op(control, GenericIf::attrGet, &own), 0);
    EXPECT_NE(own, nullptr);
    EXPECT_EQ(g.op(control, GenericIf::attrDel, nullptr, &key), 1);
    EXPECT_EQ(g.op(control, GenericIf::attrSet, nullptr, &other), 0);
    EXPECT_EQ(g.op(control, GenericIf::attrGet, &now), 0);
    EXPECT_EQ(now, other);
    GenericIf::IteratorTable it;
    EXPECT_EQ(g.iterator(control, it), nullptr);
}

TEST(GenericEntity, CollectionOpsReadWriteCountAndRemoveEveryCollection) {
    using TestSupport::flowEntry;
    const IpFlowEntry ip = flowEntry(1);
    const Ip6FlowEntry ip6(Ip6FlowKey(ip.key().vrfId(), ip.key().vlanId(),
                                      Wirekit::Ip6Addr::fromWords(0x20010db8, 0, 0, 1),
                                      Wirekit::Ip6Addr(), Wirekit::ipProtoUdp, 5, 6));
    for (const char* type : {"FlowTracking::FlowTableBase", "FlowTracking::FlowTable"}) {
        exerciseCollection(type, 258, 262, ip);
        exerciseCollection(type, 259, 263, ip6);
        exerciseCollection(type, 260, 264, BgpFlowEntry(ip.key()));
        exerciseCollection(type, 261, 265, Bgp6FlowEntry(ip6.key()));
    }
    const char* counters = "Hoard::FlowTracker::FtCounters";
    exerciseCollection(counters, 258, 259, FlowGroupCounterEntry(TestSupport::groupEntry(3)));
    exerciseCollection(counters, 260, 261,
                       FlowCounterEntry(FlowCounterKey(7), FlowEntry(1, 2, 3, 4)));
}

TEST(GenericEntity, MountPathFunctionsAndAttributesThatDoNotApplyOrDoNotExist) {
    const Generic g{"FlowTracking::FlowTable"};
    const Kiln::String type("T");
    const Kiln::Name name("N");
    Kiln::String path;
    EXPECT_EQ(g.op(386, GenericIf::attrCall, &path, &type), 0);
    EXPECT_EQ(path, FlowTable::mountPathBase(type));
    EXPECT_EQ(g.op(387, GenericIf::attrCall, &path, &type, &name), 0);
    EXPECT_EQ(path, FlowTable::mountPath(type, name));
    EXPECT_EQ(g.op(386, GenericIf::attrSet, nullptr, &type), 1);
    EXPECT_EQ(g.op(999, GenericIf::attrGet, &path), 2);
    EXPECT_EQ(path, FlowTable::mountPath(type, name));  // untouched
    EXPECT_EQ(Generic{"FlowTracking::FlowTableBase"}.op(386, GenericIf::attrCall, &path, &type), 2);

    const Kiln::KilnType& record = *Kiln::typeNode("FlowTracking::FlowTable");
    EXPECT_EQ(record.attribute(386)->access, Kiln::KilnType::Access::function);
    EXPECT_EQ(record.attribute("bgp6FlowEntryControl")->number, 265u);
    EXPECT_EQ(Kiln::typeNode("Hoard::FlowTracker::FtCounters")->attribute(260)->name,
              "flowsCounter");
}

TEST(GenericEntity, IteratorVisitsEveryMemberOnceAndAnEmptyCollectionIsAtOnceInvalid) {
    const Generic g{"FlowTracking::FlowTable"};
    constexpr std::uint32_t n = 10000;
    for (std::uint32_t i = 0; i < n; ++i) {
        const IpFlowEntry e = TestSupport::flowEntry(i);
        ASSERT_EQ(g.op(258, GenericIf::attrSet, nullptr, &e), 0);
    }
    GenericIf::IteratorTable it;
    void* walk = g.iterator(258, it);
    ASSERT_NE(walk, nullptr);
    std::set<std::uint32_t> seen;
    std::uint32_t visits = 0;
    for (; it.iterNonnull(walk); it.iterInc(walk), ++visits) {
        const auto& key = *static_cast<const IpFlowKey*>(it.iterKey(walk));
        const auto& value = *static_cast<const IpFlowEntry*>(it.iterObj(walk));
        EXPECT_EQ(value.key(), key);
        seen.insert(key.srcAddr().value() - 0x0A000000u);
    }
    it.iterDel(walk);
    EXPECT_EQ(visits, n);
    ASSERT_EQ(seen.size(), n);
    EXPECT_EQ(*seen.rbegin(), n - 1);

    walk = g.iterator(259, it);
    EXPECT_FALSE(it.iterNonnull(walk));
    it.iterDel(walk);
}

#ifdef READ_COLLECTION_PATH
// The example reader, run against a live writer in another process, prints the writer's members.
TEST(GenericEntity, ReadCollectionExampleReadsALiveWritersTable) {
    TestSupport::ShmRoot root;
    TestSupport::Processes p;
    p.start("writer", [&](TestSupport::ChildReport&) {
        const Kiln::Ptr<FlowTable> ft = flowTableFactory(Kiln::Name("ex/ft"));
        ft->ipFlowEntryControl()->init(Hoard::writer, false, 16);
        for (std::uint32_t i = 0; i < 3; ++i) ft->ipFlowEntryIs(TestSupport::flowEntry(i));
        p.ready.post();
        return p.go.wait();
    });
    ASSERT_TRUE(p.ready.wait(30, p.child(0)));
    std::string out;
    if (FILE* f = ::popen(READ_COLLECTION_PATH " ex/ft/ipFlowEntry 2>&1", "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            out.append(buffer, n);
        EXPECT_EQ(::pclose(f), 0) << out;
    }
    p.go.post();
    EXPECT_EQ(p.waitAll(), "");
    EXPECT_NE(out.find("FlowTracking::FlowTable ex/ft: 3 members"), std::string::npos) << out;
    EXPECT_NE(out.find("\n  13 bytes: 2000\n"), std::string::npos) << out;
}
#endif

}  // namespace
