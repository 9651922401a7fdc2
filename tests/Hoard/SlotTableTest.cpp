// The slot file: its bytes as other processes read them, header validation (each check reached
// by a file broken in exactly that way), allocation, growth, the table-full and filesystem-full
// errors, and the shrink steps.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "FlowTracker/FlowTableTypes.h"
#include "Hoard/SlotWriter.h"
#include "tests/support/ChildReport.h"
#include "tests/support/Fork.h"
#include "tests/support/SharedPage.h"
#include "tests/support/ShmRoot.h"

namespace {

using FlowTracking::IpFlowEntry;
using FlowTracking::IpFlowKey;
using Hoard::SlotLink;
using Hoard::SlotTable;
using Table = Hoard::SlotWriterTable<IpFlowEntry>;

IpFlowKey keyOf(std::uint32_t i) {
    return IpFlowKey(Vrf::VrfIdMap::VrfId(1), {}, Wirekit::IpAddr::fromHostOrder(i),
                     Wirekit::IpAddr(10, 0, 0, 1), Wirekit::ipProtoTcp, 1, 2);
}

IpFlowEntry entryOf(std::uint32_t i) {
    IpFlowEntry e(keyOf(i));
    e.pktsIs(i);
    e.bytesIs(~std::uint64_t{i});
    return e;
}

// A table with one chain of records (head -> newest -> ... -> end), linked the way the table
// writer links them: value and status first, then the link.
class SlotTableTest : public ::testing::Test {
  protected:
    TestSupport::ShmRoot shm;
    std::shared_ptr<Basalt::Platform::DebugHandler> debug =
        Basalt::Platform::getDebugHandler("SlotTableTest");
    Mem::RootPath root{debug, "test/slots", true};
    Hoard::Writer::Counters counters;
    std::uint32_t seedSeen = 0;
    std::uint64_t chainHead = SlotLink::pack(SlotLink{});
    std::unique_ptr<Table> table;

    void SetUp() override { root.ensureDirectory(); }

    std::unique_ptr<Table> makeTable(std::uint32_t maxSize, bool fixedSize = false) {
        return std::make_unique<Table>(debug, root, "FlowTracking::IpFlowEntry", "SlotTableTest",
                                       maxSize, fixedSize, true, counters,
                                       [this](std::uint32_t s) { seedSeen = s; });
    }

    std::uint32_t insert(std::uint32_t i) {
        const IpFlowEntry e = entryOf(i);
        const std::uint32_t index = table->alloc(e.key().hash(0));
        auto& slot = table->slots()[index];
        Hoard::storeSlotValue(slot, e);
        Mem::Atomics::storeRelease(slot.head.status,
                                   (slot.head.status + SlotTable::writeStep) | SlotTable::occupied);
        const SlotLink head = SlotLink::load(chainHead);
        SlotLink::store(slot.head.link,
                        SlotLink{SlotLink::load(slot.head.link).seq + 4, head.next});
        SlotLink::store(chainHead, SlotLink{head.seq + 4, index});
        return index;
    }

    // The link that points at `index` in the chain.
    std::uint64_t& predecessorOf(std::uint32_t index) {
        std::uint64_t* link = &chainHead;
        for (std::uint32_t steps = 0; steps <= table->capacity(); ++steps) {
            const std::uint32_t next = SlotLink::load(*link).next;
            if (next == index) return *link;
            if (next == SlotLink::endOfList) break;
            link = &table->slots()[next].head.link;
        }
        throw std::logic_error("slot not in chain");
    }

    void remove(std::uint32_t index) {
        auto& slot = table->slots()[index];
        std::uint64_t& pred = predecessorOf(index);
        const SlotLink p = SlotLink::load(pred);
        SlotLink::store(pred, SlotLink{p.seq + 4, SlotLink::load(slot.head.link).next});
        Mem::Atomics::storeRelease(slot.head.status, slot.head.status & ~SlotTable::occupied);
        auto* h = table->header();
        SlotLink::store(slot.head.link,
                        SlotLink{SlotLink::load(slot.head.link).seq + 4, h->freeSlots});
        h->freeSlots = index;
        h->occupiedSlots -= 1;
    }

    // The records reachable from the chain head, as pkts values.
    std::multiset<std::uint64_t> chainContents() {
        std::multiset<std::uint64_t> out;
        std::uint32_t next = SlotLink::load(chainHead).next;
        for (std::uint32_t steps = 0; next != SlotLink::endOfList; ++steps) {
            if (steps == table->capacity()) {
                ADD_FAILURE() << "the chain is longer than the table: it loops";
                break;
            }
            const auto& slot = table->slots()[next];
            EXPECT_TRUE(slot.head.status & SlotTable::occupied);
            const IpFlowEntry e = Hoard::loadSlotValue(slot);
            EXPECT_EQ(e, entryOf(static_cast<std::uint32_t>(e.pkts())));
            out.insert(e.pkts());
            next = SlotLink::load(slot.head.link).next;
        }
        return out;
    }

    std::vector<std::uint32_t> freeList() {
        std::vector<std::uint32_t> out;
        for (std::uint32_t i = table->header()->freeSlots; i != SlotLink::endOfList;
             i = SlotLink::load(table->slots()[i].head.link).next) {
            out.push_back(i);
            if (out.size() > table->capacity()) break;
        }
        return out;
    }
};

// Slot values are copied as relaxed words: a value of whole words straight between record and
// slot, any other through a padded buffer. Either way the copy is exact, the slot's padding stays
// zero and nothing outside the slot is written.
template <std::size_t Size>
struct RawValue {
    unsigned char bytes[Size];
};

template <std::size_t Size>
void expectExactSlotCopy() {
    struct Guarded {
        Hoard::TypedSlot<RawValue<Size>> slot;
        std::uint64_t guard;
    } g;
    std::memset(static_cast<void*>(&g), 0, sizeof g);
    g.guard = 0x5A5A5A5A5A5A5A5Aull;
    RawValue<Size> in;
    for (std::size_t i = 0; i < Size; ++i) in.bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    Hoard::storeSlotValue(g.slot, in);
    const RawValue<Size> out = Hoard::loadSlotValue(g.slot);
    EXPECT_EQ(std::memcmp(out.bytes, in.bytes, Size), 0) << Size;
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

TEST_F(SlotTableTest, AFreshFileHasTheDocumentedBytes) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x10001), 1);
    EXPECT_EQ(table->minSize(), 16u);  // (4096 - 344) / 152 = 24 -> 16
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->header());
    auto u32 = [&](std::size_t off) {
        std::uint32_t v;
        std::memcpy(&v, bytes + off, 4);
        return v;
    };
    EXPECT_EQ(std::memcmp(bytes, "HOARDSLT", 8), 0);
    EXPECT_EQ(u32(8), 17u);
    EXPECT_EQ(u32(12), 0x10001u);
    EXPECT_EQ(u32(16), 2u);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 20), "FlowTracking::IpFlowEntry");
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 84), "SlotTableTest");
    EXPECT_EQ(u32(148), 136u);
    EXPECT_EQ(u32(152), 152u);
    EXPECT_EQ(u32(156), 1024u);
    EXPECT_EQ(u32(168), 0u);        // occupiedSlots
    EXPECT_EQ(u32(172), 0u);        // freeSlots: head is slot 0
    EXPECT_EQ(u32(176), 16u);       // mostSlots
    EXPECT_EQ(u32(180), seedSeen);  // hashSeed, handed to the hash operations
    EXPECT_EQ(u32(184), 0u);        // numSlots version
    EXPECT_EQ(u32(188), 16u);       // numSlots
    EXPECT_EQ(u32(164), table->header()->doHash());
    // The lookaside slot at 192, then slots 0..15 at 344 + i * 152, chained as the free list.
    EXPECT_EQ(u32(192 + 4), SlotLink::endOfList);
    for (std::uint32_t i = 0; i < 16; ++i) {
        const std::size_t slot = 344 + i * 152;
        EXPECT_EQ(u32(slot), 4u) << i;  // seq: rewritten once by addFreeSlots
        EXPECT_EQ(u32(slot + 4), i < 15 ? i + 1 : SlotLink::endOfList) << i;
        EXPECT_EQ(u32(slot + 8), 0u);
        IpFlowEntry value;
        std::memcpy(static_cast<void*>(&value), bytes + slot + 16, sizeof value);
        EXPECT_TRUE(!value);  // default-constructed
    }
    struct stat st;
    ASSERT_EQ(::stat(root.filePath("slots").c_str(), &st), 0);
    EXPECT_GE(st.st_size, 344 + 16 * 152);
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

struct BrokenHeader {
    const char* name;
    std::function<void(SlotTable::Header&, std::uint64_t& fileSize, std::uint32_t& wanted)> breakIt;
    std::string message;
};

TEST_F(SlotTableTest, EachValidationCheckReportsItsMessage) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x20002), 1);
    const std::uint64_t size = 344 + 16 * 152;
    std::vector<unsigned char> good(size);
    std::memcpy(good.data(), table->header(), size);
    const std::vector<BrokenHeader> cases = {
        {"magic", [](auto& h, auto&, auto&) { h.magic ^= 1; },
         "SlotTable::Header::validate() bad magic: 544c534452414f49"},
        {"version", [](auto& h, auto&, auto&) { h.version = 16; },
         "SlotTable::Header::validate() bad version: 16"},
        {"fenix", [](auto&, auto&, auto& wanted) { wanted = 99; },
         "SlotTable::validate() bad fenix:131074 wanted:99"},
        {"platform", [](auto& h, auto&, auto&) { h.platform = 1; },
         "SlotTable::Header::validate() bad platform specification: i386-linux expecting: "
         "x86_64-linux"},
        {"checksum", [](auto& h, auto&, auto&) { std::strcpy(h.valueType, "X::Ip6FlowEntry"); },
         "SlotTable::Header::validate() checksum fail: "},
        {"occupied", [](auto& h, auto&, auto&) { h.occupiedSlots = 17; },
         "SlotTable::Header::validate() bad occupiedSlots: 17 num slots: 16(v0)"},
        {"free", [](auto& h, auto&, auto&) { h.freeSlots = 16; },
         "SlotTable::Header::validate() bad freeSlots: 16 slots: 16"},
        {"most", [](auto& h, auto&, auto&) { h.mostSlots = 15; },
         "SlotTable::Header::validate() bad mostSlots:15 numSlots:16"},
        {"header size", [](auto&, auto& fileSize, auto&) { fileSize = 343; },
         "SlotTable::Header::validate() bad header file size: 343 wanted:344"},
        {"too short to read", [](auto&, auto& fileSize, auto&) { fileSize = 100; },
         "SlotTable::Header::validate() bad header file size: 100 wanted:192"},
        {"shmem size", [](auto&, auto& fileSize, auto&) { fileSize = 344 + 16 * 152 - 1; },
         "SlotTable::Header::validate() bad shmem size:2775 wanted:2776 for 16 slots"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> bytes = good;
        auto& h = *reinterpret_cast<SlotTable::Header*>(bytes.data());
        std::uint64_t fileSize = size;
        std::uint32_t wanted = 0x20002;
        c.breakIt(h, fileSize, wanted);
        std::string error;
        EXPECT_FALSE(SlotTable::Header::validate(&h, debug, fileSize, wanted, error)) << c.name;
        EXPECT_EQ(error.substr(0, c.message.size()), c.message) << c.name;
    }
    // Any fenix passes when none is wanted; an empty free list is valid.
    std::vector<unsigned char> bytes = good;
    auto& h = *reinterpret_cast<SlotTable::Header*>(bytes.data());
    h.freeSlots = SlotLink::endOfList;
    std::string error;
    EXPECT_TRUE(SlotTable::Header::validate(&h, debug, size, 0, error)) << error;
    EXPECT_NE(h.toString().find(" freeSlots:4294967295 "), std::string::npos) << h.toString();
}

// Another incarnation's file is re-formatted: HoardWriterTest's
// ReattachKeepsRecordsAndSeedAnotherIncarnationStartsEmpty.
TEST_F(SlotTableTest, ReattachAdoptsAValidFileOfItsIncarnationAndReformatsADamagedOne) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x30003), 1);
    for (std::uint32_t i = 0; i < 10; ++i) insert(i);
    const std::uint32_t seed = table->header()->hashSeed;
    table.reset();
    table = makeTable(1024);
    ASSERT_EQ(table->attach(0x30003), 2);
    EXPECT_EQ(seedSeen, seed);
    EXPECT_EQ(chainContents().size(), 10u);

    table->header()->hash ^= 1;
    ASSERT_EQ(table->attach(0x30003), 4);
    EXPECT_EQ(table->header()->occupiedSlots, 0u);
    EXPECT_EQ(freeList().size(), 16u);
}

TEST_F(SlotTableTest, GrowthKeepsRecordsAndHandsOutNewSlotsInAscendingOrder) {
    table = makeTable(40);
    ASSERT_EQ(table->attach(1), 1);
    std::vector<std::uint32_t> order;
    for (std::uint32_t i = 0; i < 45; ++i) order.push_back(insert(i));
    // 16 -> 32 -> 40 (the limit) -> 44 (ceil(40 * 1.1)) -> 49.
    EXPECT_EQ(table->capacity(), 49u);
    EXPECT_EQ(table->header()->numSlots(), (Mem::VerU32{4, 49}));
    EXPECT_EQ(table->header()->mostSlots, 49u);
    EXPECT_EQ(counters.grows, 4u);
    for (std::uint32_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i);
    std::multiset<std::uint64_t> expected;
    for (std::uint32_t i = 0; i < 45; ++i) expected.insert(i);
    EXPECT_EQ(chainContents(), expected);
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
        EXPECT_EQ(std::string(e.what()),
                  "SlotWriter::alloc() Hoard table full (occupancy:20 tableSize:20) test/slots");
    }
    EXPECT_EQ(table->header()->toString(), before);
    EXPECT_EQ(chainContents().size(), 20u);
    EXPECT_EQ(table->shrinkThreshold(), 0u);
}

TEST_F(SlotTableTest, AFullFilesystemIsAMemoryErrorNotASignal) {
    // A child limited to 64 KiB of file: growth must fail as an exception the writer can report.
    TestSupport::SharedPage<TestSupport::ChildReport> report;
    TestSupport::Child child([this, &report] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        table = makeTable(1u << 20);
        table->attach(1);
        try {
            for (std::uint32_t i = 0; i < 100000; ++i) insert(i);
        } catch (const Basalt::MemoryResourceException& e) {
            if (std::string(e.what()).find("SlotWriter::resize() failed to resize") != 0) {
                return report->fail(e.what());
            }
            if (chainContents().size() != table->header()->occupiedSlots) {
                return report->fail("records lost: " + table->header()->toString());
            }
            return true;
        }
        return report->fail("every record was stored");
    });
    EXPECT_EQ(child.wait(), 0) << report->text;
}

TEST_F(SlotTableTest, ShrinkMovesEveryRecordBelowTheTargetBeforeCutting) {
    table = makeTable(4096);
    ASSERT_EQ(table->attach(1), 1);
    std::vector<std::uint32_t> slotOf;
    for (std::uint32_t i = 0; i < 1024; ++i) slotOf.push_back(insert(i));
    ASSERT_EQ(table->capacity(), 1024u);
    EXPECT_EQ(table->shrinkThreshold(), 512u);
    // Remove from the low slots so that the survivors sit high in the file.
    for (std::uint32_t i = 0; i < 769; ++i) remove(slotOf[i]);
    std::multiset<std::uint64_t> kept;
    for (std::uint32_t i = 769; i < 1024; ++i) kept.insert(i);
    ASSERT_EQ(table->header()->occupiedSlots, 255u);  // below 512 / 2: shrink to 1 << (7 + 2)
    const std::uint32_t target = 512;
    table->purgeFreeSlots(target);
    for (std::uint32_t i : freeList()) EXPECT_LT(i, target);
    for (std::uint32_t i = target; i < 1024; ++i) {
        if (table->slots()[i].head.status & SlotTable::occupied) {
            table->move(i, table->header()->freeSlots, predecessorOf(i));
            Mem::Atomics::storeRelease(table->slots()[i].head.status,
                                       table->slots()[i].head.status & ~SlotTable::occupied);
        }
    }
    const Mem::VerU32 before = table->header()->numSlots();
    table->shrink(target);
    EXPECT_EQ(table->capacity(), target);
    EXPECT_EQ(table->header()->numSlots(), (Mem::VerU32{before.version + 1, target}));
    EXPECT_EQ(table->shrinkThreshold(), 256u);
    EXPECT_EQ(chainContents(), kept);
    EXPECT_EQ(freeList().size() + 255u, target);
    EXPECT_THROW(table->slots()[target], Basalt::CorruptionDetectedException);
    // The file keeps its size (readers may still map it); the tail's memory is released once
    // it has stayed backed for the grace (none here).
    table->releaseGraceIs(0);
    EXPECT_TRUE(table->releaseTail());
    struct stat st;
    ASSERT_EQ(::stat(root.filePath("slots").c_str(), &st), 0);
    EXPECT_GE(st.st_size, 344 + 1024 * 152);
    EXPECT_LT(st.st_blocks * 512, 344 + 1024 * 152);
}

TEST_F(SlotTableTest, CorruptFreeListsAreReportedNotFollowed) {
    table = makeTable(1024);
    ASSERT_EQ(table->attach(1), 1);
    // A free list that loops back on itself: the purge walk stops and reports the count.
    insert(0);
    SlotLink::store(table->slots()[9].head.link, SlotLink{8, 3});
    EXPECT_THROW(table->purgeFreeSlots(8), Basalt::CorruptionDetectedException);
    // A free list pointing past the table.
    SlotLink::store(table->slots()[9].head.link, SlotLink{12, 4000});
    EXPECT_THROW(table->purgeFreeSlots(8), Basalt::CorruptionDetectedException);
    EXPECT_THROW(table->addFreeSlots(5, 5), Basalt::AssertException);
}

// ValidatorTest's AnotherProcessValidatesTheTableThroughReadOnlyMappings reads a table through
// views in another process.
TEST_F(SlotTableTest, AViewCreatesNothingReadsAnExistingTableAndRefusesToChangeIt) {
    table = makeTable(1024);
    std::string error;
    EXPECT_FALSE(table->attachView(error));
    EXPECT_NE(error.find("cannot map"), std::string::npos) << error;
    EXPECT_EQ(::access(root.filePath("slots").c_str(), F_OK), -1);

    ASSERT_EQ(table->attach(9), 1);
    for (std::uint32_t i = 0; i < 40; ++i) insert(i);
    auto view = makeTable(1024);
    ASSERT_TRUE(view->attachView(error)) << error;
    EXPECT_EQ(view->capacity(), 64u);
    EXPECT_EQ(view->header()->toString(), table->header()->toString());
    EXPECT_THROW(view->alloc(1), Basalt::AssertException);
}

}  // namespace
