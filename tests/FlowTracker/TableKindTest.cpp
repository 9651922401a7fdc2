// The table kinds the library registers, used as a tool uses them: by value type name, values
// parsed and printed through the type registry, tables opened through the kind only.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FtCounters.h"
#include "Hoard/TableKind.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/SharedMem/FenixFile.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"

namespace {

// What the test knows of a kind without its registration: a record's value text and the hash the
// table's own Ops place the record's key by in a table of a given seed.
struct Sample {
    std::string text;
    std::uint32_t (*hash)(const void* key, std::uint32_t seed);
};

template <class Ops>
std::pair<const std::string, Sample> sample(const typename Ops::Value& record) {
    return {Ops::Value::typeName,
            {valueToStrep(record).stdString(), [](const void* key, std::uint32_t seed) {
                 Ops ops;
                 ops.hashSeedIs(seed);
                 return ops.hash(*static_cast<const typename Ops::Key*>(key));
             }}};
}

TEST(TableKind, EveryKindWritesReadsValidatesAndHashesAsItsTablesOps) {
    using namespace FlowTracking;
    using namespace Hoard::FlowTracker;
    TestSupport::ShmRoot shm;
    const auto debug = Basalt::Platform::getDebugHandler("TableKindTest");
    const Ip6FlowKey key6(
        Vrf::VrfIdMap::VrfId(2), Bridging::VlanIdOrAnyOrNone(7),
        Wirekit::Ip6Addr({0x20, 0x01, 0x0d, 0xb8, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
        Wirekit::Ip6Addr(), Wirekit::ipProtoTcp, 1234, 80);
    const std::map<std::string, Sample> samples{
        sample<IpFlowEntryOps>(TestSupport::flowEntry(3, 7)),
        sample<Ip6FlowEntryOps>(Ip6FlowEntry(key6)),
        sample<BgpFlowEntryOps>(BgpFlowEntry(TestSupport::FlowRecords::key(4))),
        sample<Bgp6FlowEntryOps>(Bgp6FlowEntry(key6)),
        sample<FlowCounterEntryOps>(FlowCounterEntry(FlowCounterKey(7), FlowEntry(1, 2, 3, 0.5))),
        sample<FlowGroupCounterEntryOps>(TestSupport::groupEntry(5, 9)),
    };
    ASSERT_EQ(Hoard::tableKinds().size(), samples.size());
    for (const Hoard::TableKind* kind : Hoard::tableKinds()) {
        const std::string name(kind->valueTypeName());
        SCOPED_TRACE(name);
        ASSERT_EQ(samples.count(name), 1u);
        EXPECT_EQ(Hoard::tableKind(name), kind);
        EXPECT_EQ(&kind->valueType(), Kiln::typeNode(name));
        Kiln::GenericValue value = kind->newValue();
        value.strepToValueIs(samples.at(name).text);
        Kiln::GenericValue key = kind->newKey();
        kind->keyOf(value.get(), key.get());

        const std::string table = "kinds/" + name;
        std::uint32_t seed = 0;
        {
            const auto writer =
                kind->openWriter(debug, table, {}, "TableKindTest", "TableKindTest");
            writer->write(value.get(), true);
            seed = writer->hashSeed();
        }
        const auto reader = kind->openReader(debug, table, true, "TableKindTest");
        ASSERT_TRUE(reader);
        Kiln::GenericValue back = kind->newValue();
        Hoard::IterHint hint;
        ASSERT_TRUE(reader->lookup(key.get(), back.get()));
        EXPECT_EQ(back.strRep().stdString(), samples.at(name).text);
        EXPECT_TRUE(reader->first(back.get(), hint));
        EXPECT_FALSE(reader->next(back.get(), hint));

        const auto fenix = SharedMem::FenixFile(debug, Mem::RootPath(debug, table)).read();
        const Hoard::TableKind::Validation v = kind->validate(debug, table, fenix.value());
        EXPECT_TRUE(v.valid) << v.error;
        EXPECT_EQ(v.records, 1u);

        // The table's seed decides where a counter table places a key; a flow table ignores it.
        EXPECT_EQ(kind->hash(key.get(), seed), samples.at(name).hash(key.get(), seed));
        EXPECT_EQ(kind->hash(key.get(), seed) == kind->hash(key.get(), seed + 1),
                  kind->hashSeedZero());
    }
}

}  // namespace
