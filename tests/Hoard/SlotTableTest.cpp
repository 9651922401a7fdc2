// The slot file on its own: the bytes other processes read (a fresh file, the header checksum, the
// value copy), the header checks, re-attach, growth in ascending free-list order, the fixed-size
// refusal, a damaged free list and a full filesystem. Moves, shrinks and crash states are covered
// through the writer (HoardWriterTest's random runs, HoardWriterCrashTest, ValidatorTest).

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "Hoard/SlotWriter.h"
#include "tests/support/ChildReport.h"
#include "tests/support/Fork.h"
#include "tests/support/SharedPage.h"
#include "tests/support/ShmRoot.h"
#include "tests/support/WriterTypes.h"

namespace {

using FlowTracking::IpFlowEntry;
using Hoard::SlotLink;
using Hoard::SlotTable;
using TestSupport::flowEntry;
using Table = Hoard::SlotWriterTable<IpFlowEntry>;

class SlotTableTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("SlotTableTest");
    Mem::RootPath root{debug, "test/slots", true};
    Hoard::Writer::Counters counters;
    std::uint32_t seedSeen = 0;
    std::unique_ptr<Table> table;

    void SetUp() override { root.ensureDirectory(); }

    std::unique_ptr<Table> makeTable(std::uint32_t maxSize, bool fixedSize = false) {
        return std::make_unique<Table>(debug, root, "FlowTracking::IpFlowEntry", "SlotTableTest",
                                       maxSize, fixedSize, true, counters,
                                       [this](std::uint32_t s) { seedSeen = s; });
    }

    // Stores record i in a newly allocated slot, as the writer does before it links the slot.
    void insert(std::uint32_t i) {
        auto& slot = table->slots()[table->alloc(i)];
        Hoard::storeSlotValue(slot, flowEntry(i));
        Mem::Atomics::storeRelease(slot.head.status,
                                   (slot.head.status + SlotTable::writeStep) | SlotTable::occupied);
    }

    // "" when the table counts n records and slots 0 .. n - 1 hold records 0 .. n - 1 (a table
    // hands out its free slots in ascending order), else the first difference.
    std::string holdsFirst(std::uint32_t n) {
        if (table->header()->occupiedSlots != n) return "counts " + table->header()->toString();
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto& slot = table->slots()[i];
            if (!(slot.head.status & SlotTable::occupied) ||
                !(Hoard::loadSlotValue(slot) == flowEntry(i))) {
                return "slot " + std::to_string(i) + " does not hold record " + std::to_string(i);
            }
        }
        return "";
    }
};

// Slot values are copied as relaxed words: a value of whole words straight between record and
// slot, any other through a padded buffer. Either way the copy is exact, the slot's padding stays
// zero and nothing outside the slot is written.
template <std::size_t Size>
void expectExactSlotCopy() {
    struct Value {
        unsigned char bytes[Size];
    } in;
    struct {
        Hoard::TypedSlot<Value> slot;
        std::uint64_t guard;
    } g;
    std::memset(static_cast<void*>(&g), 0, sizeof g);
    g.guard = 0x5A5A5A5A5A5A5A5Aull;
    for (std::size_t i = 0; i < Size; ++i) in.bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    Hoard::storeSlotValue(g.slot, in);
    EXPECT_EQ(std::memcmp(Hoard::loadSlotValue(g.slot).bytes, in.bytes, Size), 0) << Size;
    const auto* raw = reinterpret_cast<const unsigned char*>(&g.slot.value);
    for (std::size_t i = Size; i < sizeof(g.slot) - sizeof(g.slot.head); ++i) {
        EXPECT_EQ(raw[i], 0) << "padding byte " << i << " of a " << Size << "-byte value";
    }
    EXPECT_EQ(g.guard, 0x5A5A5A5A5A5A5A5Aull) << Size;
}

TEST(SlotValueCopyTest, WholeWordAndPaddedValuesCopyExactly) {
    expectExactSlotCopy<40>();
    expectExactSlotCopy<136>();
    expectExactSlotCopy<44>();
    expectExactSlotCopy<92>();
}

TEST_F(SlotTableTest, AFreshFileHasTheDocumentedBytesAndAViewOnlyReadsIt) {
    table = makeTable(1024);
    std::string error;
    EXPECT_FALSE(table->attachView(error));  // a view of a missing table creates nothing
    EXPECT_NE(error.find("cannot map"), std::string::npos) << error;
    EXPECT_EQ(::access(root.filePath("slots").c_str(), F_OK), -1);

    ASSERT_EQ(table->attach(0x10001), 1);
    EXPECT_EQ(table->minSize(), 16u);  // (4096 - 344) / 152 = 24 -> 16
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->header());
    auto u32 = [&](std::size_t offset) {
        std::uint32_t v;
        std::memcpy(&v, bytes + offset, 4);
        return v;
    };
    EXPECT_EQ(std::memcmp(bytes, "HOARDSLT", 8), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 20), "FlowTracking::IpFlowEntry");
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 84), "SlotTableTest");
    // Offset and value: version, fenix, platform, valueSize, slotSize, maxSlots, occupiedSlots,
    // freeSlots (slot 0 first), mostSlots, the numSlots pair (version 0, 16 slots), and the link
    // of the lookaside slot at 192.
    const std::pair<std::size_t, std::uint32_t> words[] = {
        {8, 17},  {12, 0x10001}, {16, 2},   {148, 136}, {152, 152}, {156, 1024},
        {168, 0}, {172, 0},      {176, 16}, {184, 0},   {188, 16},  {196, SlotLink::endOfList},
    };
    for (const auto& [offset, value] : words) EXPECT_EQ(u32(offset), value) << "offset " << offset;
    EXPECT_EQ(u32(164), table->header()->doHash());
    EXPECT_EQ(u32(180), seedSeen);  // the hash seed, handed to the hash operations
    // Slots 0..15 at 344 + i * 152: the free list in ascending order, each link's seq rewritten
    // once, status 0, a default value.
    for (std::uint32_t i = 0; i < 16; ++i) {
        const std::size_t slot = 344 + i * 152;
        EXPECT_EQ(u32(slot), 4u) << i;
        EXPECT_EQ(u32(slot + 4), i < 15 ? i + 1 : SlotLink::endOfList) << i;
        EXPECT_EQ(u32(slot + 8), 0u) << i;
        IpFlowEntry value;
        std::memcpy(static_cast<void*>(&value), bytes + slot + 16, sizeof value);
        EXPECT_TRUE(!value) << i;
    }
    auto view = makeTable(1024);
    ASSERT_TRUE(view->attachView(error)) << error;
    EXPECT_EQ(view->header()->toString(), table->header()->toString());
    EXPECT_THROW(view->alloc(1), Basalt::AssertException);
}

TEST_F(SlotTableTest, ChecksumIsFrozenForAFixedHeader) {
    SlotTable::Header h{};
    std::strcpy(h.valueType, "FlowTracking::IpFlowEntry");
    std::strcpy(h.classType, "FlowTracking::FlowTable");
    h.valueSize = 136;
    h.slotSize = 152;
    h.maxSlots = 1024;
    h.hashSeed = 0x12345678;
    const std::uint32_t golden = h.doHash();
    EXPECT_EQ(golden, 0x73d985e0u);  // FNV-1a of the 148 checksummed bytes
    h.runtimeFlags = 1;              // outside the checksum
    h.occupiedSlots = 7;
    h.numSlotsPair = Mem::VerU32::pack(3, 64);
    EXPECT_EQ(h.doHash(), golden);
    h.classType[63] = 'x';  // bytes after the NUL are inside it
    EXPECT_NE(h.doHash(), golden);
}

// The checks HoardctlTest's damaged files do not reach (it covers the magic, the checksum and a
// short or cut file), each on a header broken in that one way, checksum kept right.
TEST_F(SlotTableTest, EachHeaderCheckReportsItsMessage) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x20002), 1);
    const std::uint64_t size = 344 + 16 * 152;
    const SlotTable::Header good = *table->header();
    const std::pair<std::function<void(SlotTable::Header&)>, std::string> cases[] = {
        {[](auto& h) { h.version = 16; }, "SlotTable::Header::validate() bad version: 16"},
        {[](auto& h) { h.fenix = 99; }, "SlotTable::validate() bad fenix:99 wanted:131074"},
        {[](auto& h) { h.platform = 1; },
         "SlotTable::Header::validate() bad platform specification: i386-linux expecting: "
         "x86_64-linux"},
        {[](auto& h) { h.occupiedSlots = 17; },
         "SlotTable::Header::validate() bad occupiedSlots: 17 num slots: 16(v0)"},
        {[](auto& h) { h.freeSlots = 16; },
         "SlotTable::Header::validate() bad freeSlots: 16 slots: 16"},
        {[](auto& h) { h.mostSlots = 15; },
         "SlotTable::Header::validate() bad mostSlots:15 numSlots:16"},
        {[](auto&) {}, ""},
        {[](auto& h) { h.freeSlots = SlotLink::endOfList; }, ""},  // an empty free list is valid
    };
    for (const auto& [breakIt, message] : cases) {
        SlotTable::Header h = good;
        breakIt(h);
        h.hash = h.doHash();
        std::string error;
        EXPECT_EQ(SlotTable::Header::validate(&h, debug, size, 0x20002, error), message.empty());
        EXPECT_EQ(error.substr(0, message.size()), message) << error;
    }
    // A file one byte short of the header and the lookaside slot.
    std::string error;
    EXPECT_FALSE(SlotTable::Header::validate(&good, debug, 343, 0x20002, error));
    EXPECT_EQ(error, "SlotTable::Header::validate() bad header file size: 343 wanted:344");
}

TEST_F(SlotTableTest, ReattachAdoptsAValidFileAndReformatsOneWithABadChecksum) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x30003), 1);
    for (std::uint32_t i = 0; i < 10; ++i) insert(i);
    const std::uint32_t seed = table->header()->hashSeed;
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x30003), 2);
    EXPECT_EQ(seedSeen, seed);
    EXPECT_EQ(holdsFirst(10), "");

    table->header()->hash ^= 1;
    ASSERT_EQ(table->attach(0x30003), 4);
    EXPECT_EQ(holdsFirst(0), "");
    EXPECT_EQ(table->header()->freeSlots, 0u);
}

TEST_F(SlotTableTest, GrowthKeepsRecordsAndHandsOutNewSlotsInAscendingOrder) {
    table = makeTable(40);
    ASSERT_EQ(table->attach(1), 1);
    for (std::uint32_t i = 0; i < 45; ++i) insert(i);
    // 16 -> 32 -> 40 (the limit) -> 44 (ceil(40 * 1.1)) -> 49.
    EXPECT_EQ(table->header()->numSlots(), (Mem::VerU32{4, 49}));
    EXPECT_EQ(table->header()->mostSlots, 49u);
    EXPECT_EQ(counters.grows, 4u);
    EXPECT_EQ(holdsFirst(45), "");
    std::string error;
    EXPECT_TRUE(SlotTable::Header::validate(table->header(), debug, 344 + 49 * 152, 1, error))
        << error;
}

TEST_F(SlotTableTest, AFixedSizeTableRefusesTheNextRecordAndKeepsTheOthers) {
    table = makeTable(20, true);
    ASSERT_EQ(table->attach(1), 1);
    EXPECT_EQ(table->capacity(), 20u);
    for (std::uint32_t i = 0; i < 20; ++i) insert(i);
    const std::string before = table->header()->toString();
    try {
        insert(20);
        FAIL() << "a full fixed-size table took a record";
    } catch (const Hoard::TableFullException& e) {
        EXPECT_STREQ(e.what(),
                     "SlotWriter::alloc() Hoard table full (occupancy:20 tableSize:20) test/slots");
    }
    EXPECT_EQ(table->header()->toString(), before);
    EXPECT_EQ(holdsFirst(20), "");
    EXPECT_EQ(table->shrinkThreshold(), 0u);
}

TEST_F(SlotTableTest, ADamagedFreeListIsReportedNotFollowed) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(1), 1);
    insert(0);
    // A free list that loops back on itself, then one that points past the table.
    SlotLink::store(table->slots()[9].head.link, SlotLink{8, 3});
    EXPECT_THROW(table->purgeFreeSlots(8), Basalt::CorruptionDetectedException);
    SlotLink::store(table->slots()[9].head.link, SlotLink{12, 4000});
    EXPECT_THROW(table->purgeFreeSlots(8), Basalt::CorruptionDetectedException);
    EXPECT_THROW(table->addFreeSlots(5, 5), Basalt::AssertException);
}

TEST_F(SlotTableTest, AFullFilesystemIsAMemoryErrorNotASignal) {
    // A child limited to 64 KiB of file: growth past 256 slots fails as an exception the writer
    // can report, and every record stored before stays.
    TestSupport::SharedPage<TestSupport::ChildReport> report;
    TestSupport::Child child([this, &report] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        table = makeTable(1u << 20);
        table->attach(1);
        std::uint32_t stored = 0;
        try {
            for (; stored < 100000; ++stored) insert(stored);
            return report->fail("every record was stored");
        } catch (const Basalt::MemoryResourceException& e) {
            if (std::string(e.what()).find("SlotWriter::resize() failed to resize") != 0) {
                return report->fail(e.what());
            }
        }
        const std::string lost =
            stored == 256 ? holdsFirst(stored) : "stored " + std::to_string(stored);
        return lost.empty() || report->fail(lost);
    });
    EXPECT_EQ(child.wait(), 0) << report->text;
}

}  // namespace
