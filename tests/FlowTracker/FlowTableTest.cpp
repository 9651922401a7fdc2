// The flow table and counters entities with their bound collections: private tables from birth,
// notifications and counters per operation, mounting as shared tables, the zero-reference
// hand-over to the controls, re-parenting, and corruption met while iterating.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FtCounters.h"
#include "Hoard/HoardReader.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Pulse/Writer.h"
#include "tests/support/FileBytes.h"
#include "tests/support/Fork.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/TraceCapture.h"

namespace {

using namespace FlowTracking;
using Hoard::FlowTracker::FlowCounterEntry;
using Hoard::FlowTracker::FlowCounterKey;
using Hoard::FlowTracker::FlowGroupCounterEntry;
using Hoard::FlowTracker::FlowGroupCounterKey;
using Hoard::FlowTracker::FtCounters;
using TestSupport::show;

IpFlowEntry flow(std::uint32_t i) { return TestSupport::flowEntry(i); }

std::vector<std::string> sorted(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

// Records every attribute notification of the entity it watches as "<id>" or "<id>:<key>".
template <class K>
struct Recorder : Kiln::PtrInterface::NotifieeConst {
    std::vector<std::string> seen;
    void onAttribute(Kiln::AttributeId id) override { seen.push_back(std::to_string(id)); }
    void onAttribute(Kiln::AttributeId id, const void* key) override {
        seen.push_back(std::to_string(id) + ":" + show(*static_cast<const K*>(key)));
    }
};

template <class K>
Kiln::Ptr<Recorder<K>> watch(Kiln::Entity* entity) {
    Kiln::Ptr<Recorder<K>> r = new Recorder<K>;
    r->hasNotificationActiveIs(true);
    r->notifierIs(entity);
    r->isRegisteredNotifieeIs(true);
    return r;
}

std::uint64_t counter(const std::string& name) { return Pulse::writer().value(name); }

struct Root : Kiln::Entity {
    explicit Root(const char* name) : Entity(name) {}
};

TEST(FlowTableEntity, CollectionsWorkFromBirthAndEachOperationNotifiesAndCountsOnce) {
    EXPECT_EQ(FlowTable::mountPath("T", Kiln::Name("N")), "flowtracking/T/flowTable/N");
    EXPECT_EQ(FlowTable::mountPathBase(""), "flowtracking//flowTable");

    Kiln::Ptr<FlowTable> ft = flowTableFactory(Kiln::Name("ft"));
    EXPECT_EQ(ft->bgp6FlowEntry().tableName(), "ft/bgp6FlowEntry");
    auto seen = watch<IpFlowKey>(ft.ptr());
    const auto before = [] {
        return std::vector<std::uint64_t>{counter("ipFlowEntryIs"), counter("ipFlowEntryDel"),
                                          counter("ipFlowEntryNotify")};
    };
    const std::vector<std::uint64_t> start = before();
    const auto counted = [&](std::uint64_t is, std::uint64_t del, std::uint64_t notify) {
        const std::vector<std::uint64_t> now = before();
        return std::vector<std::uint64_t>{now[0] - start[0], now[1] - start[1],
                                          now[2] - start[2]} ==
               std::vector<std::uint64_t>{is, del, notify};
    };

    ft->ipFlowEntryIs(flow(1));
    ft->ipFlowEntryIs(flow(2));
    EXPECT_TRUE(counted(2, 0, 2));
    bool found = false;
    IpFlowEntryWrapper out;
    ft->ipFlowEntry().safeLookup(flow(1).key(), found, &out);
    EXPECT_TRUE(found && out == flow(1));

    // A missing key: the default record, counted as a Del, nothing notified.
    const IpFlowEntry missing = ft->ipFlowEntryDel(flow(9).key());
    EXPECT_EQ(missing.key().vrfId(), Vrf::VrfIdMap::VrfId(0xFFFFFF));
    EXPECT_EQ(missing.key().ipProtocol(), Wirekit::IpProtocolNumber(255));
    EXPECT_EQ(ft->ipFlowEntryDel(flow(2).key()), flow(2));
    EXPECT_TRUE(counted(2, 2, 3));

    // A record written in place is published by Commit, notified once.
    IpFlowEntryWrapper* place = ft->ipFlowEntry().implementation()->directWrite(flow(3).key());
    place->bytesIs(3000);
    ft->ipFlowEntryCommit(place);
    EXPECT_TRUE(counted(3, 2, 4));
    ft->ipFlowEntryNotify(flow(5).key());
    EXPECT_TRUE(counted(3, 2, 5));
    EXPECT_EQ(seen->seen,
              (std::vector<std::string>{"258:" + show(flow(1).key()), "258:" + show(flow(2).key()),
                                        "258:" + show(flow(2).key()), "258:" + show(flow(3).key()),
                                        "258:" + show(flow(5).key())}));
    std::vector<std::string> walked;
    for (FlowTableBase::IpFlowEntryCollection::Binding::IteratorConst it(&ft->ipFlowEntry());
         it.valid(); it.advance()) {
        walked.push_back(show(it->value()));
    }
    IpFlowEntry third = flow(3);
    third.bytesIs(3000);
    EXPECT_EQ(sorted(walked), sorted({show(flow(1)), show(third)}));

    // Controls: the current one again notifies nothing; a new one notifies its attribute once,
    // and the collection's own control still hears the table's events.
    seen->seen.clear();
    const Kiln::Ptr<KilnHoard::CollectionControl> own = ft->ip6FlowEntryControl();
    ft->ip6FlowEntryControlIs(own);
    const Kiln::Ptr<KilnHoard::CollectionControl> other =
        KilnHoard::CollectionControl::collectionControlNew(nullptr);
    ft->ip6FlowEntryControlIs(other);
    EXPECT_EQ(seen->seen, std::vector<std::string>{"263"});
    ft->ip6FlowEntryNotifyQuiesced(true);
    EXPECT_TRUE(own->quiesced());
    EXPECT_FALSE(other->quiesced());
    seen->isRegisteredNotifieeIs(false);
}

TEST(FtCountersEntity, DelAllEmptiesALargeCollectionThroughItsShrinksAndMissesReturnDefaults) {
    Kiln::Ptr<FtCounters> c = Hoard::FlowTracker::ftCountersFactory(Kiln::Name("counters"));
    auto seen = watch<FlowCounterKey>(c.ptr());
    const FlowCounterEntry none = c->flowsCounterDel(FlowCounterKey(7));
    EXPECT_EQ(none, FlowCounterEntry());
    EXPECT_EQ(none.key(), FlowCounterKey(0));
    EXPECT_EQ(c->flowGroupCounterDel(FlowGroupCounterKey()).key().fgId(),
              FlowTracking::TemplateId(65535));
    c->flowsCounterIs(
        FlowCounterEntry(FlowCounterKey(3), Hoard::FlowTracker::FlowEntry(1, 2, 3, 0)));
    EXPECT_EQ(seen->seen, std::vector<std::string>{"260:" + show(FlowCounterKey(3))});
    seen->isRegisteredNotifieeIs(false);

    constexpr std::uint32_t n = 100'000;
    for (std::uint32_t i = 0; i < n; ++i) {
        c->flowsCounterIs(
            FlowCounterEntry(FlowCounterKey(i), Hoard::FlowTracker::FlowEntry(i, i, i, 0)));
    }
    const std::uint64_t dels = counter("flowsCounterDel");
    c->flowsCounterDelAll();
    EXPECT_EQ(counter("flowsCounterDel") - dels, n);
    EXPECT_FALSE(
        FtCounters::FlowsCounterCollection::Binding::IteratorConst(&c->flowsCounter()).valid());
    EXPECT_TRUE(c->flowsCounter().validate());
    EXPECT_LT(c->flowsCounter().capacity(), 1000u);
    c->flowsCounterDelAll();  // empty: nothing happens
    EXPECT_EQ(counter("flowsCounterDel") - dels, n);
}

// Mounted through its controls, the entity's collections are shared tables under its full name
// that another process reads, with the entity's class in the header; the private records stay
// behind. Then: a second parent is refused, orphans are detached, a second init with another
// descriptor keeps the first, and the last reference hands the entity to its controls.
TEST(FlowTableEntity, MountedTablesAreSharedAndTheEntityLivesExactlyAsLongAsItsControls) {
    TestSupport::ShmRoot shm;
    const std::int64_t liveTables = FlowTable::allocTrackTypeInfo.live();
    const std::int64_t liveControls = KilnHoard::CollectionControl::allocTrackTypeInfo.live();
    Kiln::Ptr<Root> root = new Root("sys");
    Kiln::Ptr<FlowTable> ft = flowTableFactory(Kiln::Name("ft"));
    ft->ipFlowEntryIs(flow(99));
    ft->parentIs(root);
    EXPECT_EQ(ft->ipFlowEntry().tableName(), "sys/ft/ipFlowEntry");
    ft->ipFlowEntryControl()->init(Hoard::writer, false, 64);
    EXPECT_TRUE(ft->ipFlowEntryControl()->quiesced());
    EXPECT_EQ(ft->ipFlowEntryControl()->mountStatus(), KilnSharedMem::MountStatus::mounted);
    for (std::uint32_t i = 1; i <= 3; ++i) ft->ipFlowEntryIs(flow(i));

    TestSupport::Child reader([&] {
        Hoard::HoardReader<IpFlowEntryOps> r(Basalt::Platform::getDebugHandler("t"),
                                             "sys/ft/ipFlowEntry", IpFlowEntryOps());
        std::vector<std::string> got;
        IpFlowEntryWrapper v;
        Hoard::IterHint hint;
        const bool attached = r.initialize("test");
        for (bool more = attached && r.first(v, hint); more; more = r.next(v.fwkKey(), v, hint)) {
            got.push_back(show(v.value()));
        }
        return sorted(got) == sorted({show(flow(1)), show(flow(2)), show(flow(3))});
    });
    EXPECT_EQ(reader.wait(), 0) << "another process does not read the three shared records";
    const auto header =
        TestSupport::readAt<Hoard::SlotTable::Header>(shm.path() + "/sys/ft/ipFlowEntry/slots", 0);
    EXPECT_STREQ(header.classType, "FlowTracking::FlowTable");

    {
        TestSupport::TraceCapture quiet;
        Hoard::MapDescriptor other;
        other.initialSize = 128;
        EXPECT_THROW(ft->ipFlowEntry().init(other), Basalt::InvalidInitializeException);
        EXPECT_EQ(ft->ipFlowEntry().descriptor().initialSize, 64u);
        Kiln::Ptr<Root> second = new Root("elsewhere");
        try {
            ft->parentIs(second);
            ADD_FAILURE() << "a second parent was accepted";
        } catch (const Basalt::InvalidInitializeException& e) {
            EXPECT_STREQ(e.what(), "Entity ft already initialized");
        }
        EXPECT_EQ(ft->bgp6FlowEntry().tableName(), "elsewhere/ft/bgp6FlowEntry");
        EXPECT_EQ(ft->ipFlowEntry().tableName(), "sys/ft/ipFlowEntry");  // not visited
        EXPECT_EQ(ft->parent(), root.ptr());
    }

    // The last reference: the controls take the entity, the attributes are empty.
    std::vector<Kiln::Ptr<KilnHoard::CollectionControl>> controls{
        ft->ipFlowEntryControl(), ft->ip6FlowEntryControl(), ft->bgpFlowEntryControl(),
        ft->bgp6FlowEntryControl()};
    FlowTable* const raw = ft.ptr();
    ft = nullptr;
    EXPECT_EQ(FlowTable::allocTrackTypeInfo.live(), liveTables + 1);
    for (const auto& control : controls) EXPECT_EQ(control->entityRef().ptr(), raw);
    EXPECT_FALSE(raw->ipFlowEntryControl() || raw->bgp6FlowEntryControl());
    raw->ipFlowEntryIs(flow(4));  // still served, still shared
    ft = raw;
    ft->parentIs(nullptr);  // an orphan: its tables are detached
    EXPECT_FALSE(ft->ipFlowEntry().initialized());
    EXPECT_FALSE(controls[0]->quiesced());
    ft = nullptr;  // handed over once only: now the controls alone hold it
    controls.clear();
    EXPECT_EQ(FlowTable::allocTrackTypeInfo.live(), liveTables);
    EXPECT_EQ(KilnHoard::CollectionControl::allocTrackTypeInfo.live(), liveControls);
}

TEST(FlowTableEntity, NamesNoTableCanTakeAreRefusedByTheFactoryAndNothingIsCreated) {
    const std::int64_t live = FlowTable::allocTrackTypeInfo.live();
    const std::int64_t controls = KilnHoard::CollectionControl::allocTrackTypeInfo.live();
    for (const char* name : {"", "a//b", "..", "x/"}) {
        try {
            flowTableFactory(Kiln::Name(name));
            ADD_FAILURE() << "accepted \"" << name << "\"";
        } catch (const Basalt::InvalidInitializeException& e) {
            EXPECT_NE(std::string(e.what()).find("RootPath() bad table name"), std::string::npos)
                << e.what();
        }
    }
    EXPECT_EQ(FlowTable::allocTrackTypeInfo.live(), live);
    EXPECT_EQ(KilnHoard::CollectionControl::allocTrackTypeInfo.live(), controls);
}

// Also: a collection mounted before its entity is placed lets that table go, so that it can be
// mounted again under the full name.
TEST(FlowTableEntity, IterationThatMeetsCorruptionEndsQuietlyThroughTheCorruptionHandler) {
    TestSupport::ShmRoot shm;
    TestSupport::TraceCapture quiet;
    Kiln::Ptr<FlowTable> ft = flowTableFactory(Kiln::Name("damaged"));
    ft->ipFlowEntryControl()->init(Hoard::writer, false, 64);
    for (std::uint32_t i = 1; i <= 8; ++i) ft->ipFlowEntryIs(flow(i));
    TestSupport::breakEveryBucket(shm.path() + "/damaged/ipFlowEntry/buckets");
    ASSERT_FALSE(::testing::Test::HasFailure());
    const std::uint64_t before = ft->ipFlowEntry().corruptions();
    FlowTableBase::IpFlowEntryCollection::Binding::IteratorConst it(&ft->ipFlowEntry());
    EXPECT_FALSE(it.valid());
    EXPECT_FALSE(it.advance());
    EXPECT_EQ(ft->ipFlowEntry().corruptions(), before + 1);

    Kiln::Ptr<Root> root = new Root("r");
    ft->parentIs(root);
    EXPECT_FALSE(ft->ipFlowEntry().initialized());
    ft->ipFlowEntryControl()->init(Hoard::writer, false, 64);
    ft->ipFlowEntryIs(flow(1));
    EXPECT_EQ(ft->ipFlowEntry().rootPath().directory(), shm.path() + "/r/damaged/ipFlowEntry");
    ft->parentIs(nullptr);
}

}  // namespace
