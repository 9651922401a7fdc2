// The slot file on its own: the bytes other processes read, re-attach, growth in ascending order,
// the fixed-size refusal and a full filesystem. Moves, shrinks, crash states and damaged free
// lists are covered through the writer (HoardWriterTest, HoardCrashTest, HoardDamageTest).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "Hoard/SlotWriter.h"
#include "tests/support/SelfCheckingRecords.h"
#include "tests/support/ShmRoot.h"

namespace {

using FlowTracking::IpFlowEntry;
using Hoard::SlotLink;
using Hoard::SlotTable;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using TestSupport::flowEntry;
using Table = Hoard::SlotWriterTable<FlowTracking::IpFlowEntryWrapper>;  // as the library stores it

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

    std::unique_ptr<Table> makeTable(std::uint32_t maxSize, bool fixedSize = false,
                                     const char* valueType = "FlowTracking::IpFlowEntry") {
        return std::make_unique<Table>(debug, root, valueType, "SlotTableTest", maxSize, fixedSize,
                                       true, counters, [this](std::uint32_t s) { seedSeen = s; });
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

// A 44-byte value is copied through a 48-byte buffer: exactly, with the slot's padding left zero
// and nothing past the slot written. (The other tests store whole-word values, copied straight.)
TEST(SlotValueCopyTest, APaddedValueCopiesExactly) {
    struct Value {
        unsigned char bytes[44];
    } in;
    for (std::size_t i = 0; i < sizeof in; ++i) in.bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    struct {
        Hoard::TypedSlot<Value> slot;
        std::uint64_t guard;
    } g;
    std::memset(static_cast<void*>(&g), 0, sizeof g);
    g.guard = 0x5A5A5A5A5A5A5A5Aull;
    Hoard::storeSlotValue(g.slot, in);
    EXPECT_EQ(std::memcmp(Hoard::loadSlotValue(g.slot).bytes, in.bytes, sizeof in), 0);
    const auto* padding = reinterpret_cast<const unsigned char*>(&g.slot.value) + sizeof in;
    EXPECT_EQ(std::count(padding, padding + 4, 0), 4);
    EXPECT_EQ(g.guard, 0x5A5A5A5A5A5A5A5Aull);
}

TEST_F(SlotTableTest, AFreshFileHasTheDocumentedBytes) {
    table = makeTable(1024);
    std::string error;
    EXPECT_FALSE(table->attachView(error));  // a read-only view of a missing table creates nothing
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
    // version, fenix, platform, valueSize, slotSize, maxSlots, occupiedSlots, freeSlots, mostSlots,
    // the numSlots pair (version 0, 16 slots), and the link of the lookaside slot at 192.
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

// A valid file of the incarnation is adopted with its records and hash seed, another type's is
// refused, never re-formatted. A wrong checksum, counts the slot count cannot hold (outside the
// checksum) and another incarnation are re-formatted with a new seed, and a reader of the old
// file notices: the slot count's version and each link's seq move on.
TEST_F(SlotTableTest, ReattachAdoptsAValidFileRefusesAnotherTypesAndReformatsTheRest) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x30003), 1);
    for (std::uint32_t i = 0; i < 10; ++i) insert(i);
    std::uint32_t seed = table->header()->hashSeed;
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x30003), 2);
    EXPECT_EQ(seedSeen, seed);
    EXPECT_EQ(holdsFirst(10), "");
    EXPECT_THAT([&] { makeTable(1024, false, "Other::Entry")->attach(0x30003); },
                ThrowsMessage<Basalt::InvalidInitializeException>(HasSubstr(
                    "holds \"FlowTracking::IpFlowEntry\" records, not \"Other::Entry\"")));

    const std::pair<std::function<void(SlotTable::Header&)>, std::uint32_t> reformatted[] = {
        {[](auto& h) { h.hash ^= 1; }, 0x30003},
        {[](auto& h) { h.occupiedSlots = 17; }, 0x30003},  // of 16 slots
        {[](auto& h) { h.freeSlots = 16; }, 0x30003},
        {[](auto& h) { h.mostSlots = 15; }, 0x30003},
        {[](auto&) {}, 0x40004},  // sound, but of another incarnation
    };
    for (const auto& [damage, fenix] : reformatted) {
        insert(0);
        damage(*table->header());
        const std::uint32_t version = table->header()->numSlots().version;
        const std::uint32_t seq = SlotLink::load(table->slots()[15].head.link).seq;
        ASSERT_EQ(table->attach(fenix), 4);
        EXPECT_EQ(holdsFirst(0), "");
        EXPECT_NE(seedSeen, seed);
        seed = seedSeen;
        EXPECT_GT(table->header()->numSlots().version, version);
        EXPECT_GT(SlotLink::load(table->slots()[15].head.link).seq, seq);
    }
}

// A table grows up to its limit by doubling and past it by tenths; a fixed-size one never grows,
// and a full filesystem (a file-size limit, SIGXFSZ ignored) is a memory error the writer can
// report, not a signal. Slots are handed out in ascending order, and a refusal keeps every record.
struct Growth {
    const char* name;
    std::uint32_t maxSize;
    bool fixedSize;
    rlim_t fileSizeLimit;
    std::uint32_t stored;  // records stored; one more is refused when `refusal` is not empty
    Mem::VerU32 numSlots;
    std::uint32_t shrinkThreshold;
    std::string refusal;  // the start of the refusal's text
};

TEST_F(SlotTableTest, GrowthStopsAtAFixedSizeOrAFullFilesystemKeepingEveryRecord) {
    // clang-format off
    const Growth rows[] = {
        {"16, 32, 40 (the limit), 44, 49", 40, false, RLIM_INFINITY, 45, {4, 49}, 32, ""},
        {"fixed size", 20, true, RLIM_INFINITY, 20, {0, 20}, 0,
         "SlotWriter::alloc() Hoard table full (occupancy:20 tableSize:20) test/slots"},
        {"a full filesystem at 512 slots", 1u << 20, false, 64 * 1024, 256, {4, 256}, 128,
         "SlotWriter::resize() failed to resize"},
    };
    // clang-format on
    std::signal(SIGXFSZ, SIG_IGN);
    for (const Growth& row : rows) {
        SCOPED_TRACE(row.name);
        table.reset();
        ::unlink(root.filePath("slots").c_str());
        table = makeTable(row.maxSize, row.fixedSize);
        ASSERT_EQ(table->attach(1), 1);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t unlimited = limit.rlim_cur;
        limit.rlim_cur = row.fileSizeLimit;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::uint32_t stored = 0;
        std::string refusal;
        try {
            for (; stored < row.stored + (row.refusal.empty() ? 0 : 1); ++stored) insert(stored);
        } catch (const std::exception& e) {
            refusal = e.what();
        }
        limit.rlim_cur = unlimited;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        EXPECT_EQ(refusal.substr(0, row.refusal.size()), row.refusal);
        EXPECT_EQ(refusal.empty(), row.refusal.empty()) << refusal;
        EXPECT_EQ(holdsFirst(row.stored), "");
        EXPECT_EQ(table->header()->numSlots(), row.numSlots);
        EXPECT_EQ(table->shrinkThreshold(), row.shrinkThreshold);
        std::string error;
        EXPECT_TRUE(SlotTable::Header::validate(table->header(), debug,
                                                344 + row.numSlots.value * 152, 1, error))
            << error;
    }
}

}  // namespace
