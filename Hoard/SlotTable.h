#pragma once

// The slot file of a table: a 192-byte header, the lookaside slot, then `numSlots` slots.
//
//   0    u64 magic "HOARDSLT"        148 u32 valueSize       168 u32 occupiedSlots
//   8    u32 version (17)            152 u32 slotSize        172 u32 freeSlots (head)
//   12   u32 fenix                   156 u32 maxSlots        176 u32 mostSlots
//   16   u32 platform (2)            160 u16 constFlags      180 u32 hashSeed
//   20   char[64] valueType          162 u16 runtimeFlags    184 u32 numSlots version
//   84   char[64] classType          164 u32 hash            188 u32 numSlots
//
// A slot: u64 link (seq, next), u32 status, u32 rhash, the value, zero padding to a multiple of
// 8. The file holds indices, never addresses, so each process maps it anywhere.
//
// Thread safety: one writer process changes the file; readers map it read-only and take no
// lock. Every word a reader may load (the (version, numSlots) pair and links as 64-bit words;
// status, rhash and the counts as 32-bit words; runtimeFlags as a 16-bit word) is stored with a
// release store and loaded with an acquire load.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/HoardBase/SlotLink.h"
#include "contracts/Mem/Atomics.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/SharedMemWrapper.h"
#include "contracts/Mem/VerU32.h"

namespace Hoard {

class SlotTable {
  public:
    static constexpr std::uint64_t magicValue = 0x544C534452414F48ull;  // "HOARDSLT"
    static constexpr std::uint32_t versionValue = 17;
    static constexpr std::size_t nameSize = 64;

    // Slot `status` bits: OCCUPIED, LOOKASIDE, then a write counter in steps of 4.
    static constexpr std::uint32_t occupied = 0x1;
    static constexpr std::uint32_t lookaside = 0x2;
    static constexpr std::uint32_t writeStep = 0x4;
    // runtimeFlags bit set for the duration of each write, remove and direct write.
    static constexpr std::uint16_t writeInProgress = 0x1;
    // constFlags bit that suppresses the writer's header dump.
    static constexpr std::uint16_t noHeaderDump = 0x2;

    static constexpr std::uint32_t slotSizeFor(std::uint32_t valueSize) {
        return (16 + valueSize + 7) / 8 * 8;
    }

    struct Header {
        std::uint64_t magic;
        std::uint32_t version;
        std::uint32_t fenix;
        std::uint32_t platform;
        char valueType[nameSize];
        char classType[nameSize];
        std::uint32_t valueSize;
        std::uint32_t slotSize;
        std::uint32_t maxSlots;
        std::uint16_t constFlags;
        std::uint16_t runtimeFlags;
        std::uint32_t hash;
        std::uint32_t occupiedSlots;
        std::uint32_t freeSlots;
        std::uint32_t mostSlots;
        std::uint32_t hashSeed;
        std::uint64_t numSlotsPair;  // Mem::VerU32: version at 184, numSlots at 188

        // 192 + slotSize: the fixed fields and the lookaside slot.
        std::uint64_t headerSize() const { return sizeof(Header) + std::uint64_t{slotSize}; }
        Mem::VerU32 numSlots() const { return Mem::VerU32::load(numSlotsPair); }

        // FNV-1a from 0x811C9DC5 over valueType (all 64 bytes), classType, valueSize, slotSize,
        // maxSlots, constFlags and hashSeed, in that order.
        std::uint32_t doHash() const;
        // One line: "SlotTable::Header() magic:0x... numSlots:16(v0)".
        std::string toString() const;
        // The valueType field as one line of text: up to its NUL (never past its 64 bytes), with
        // '\' and '"' escaped by a backslash and bytes outside printable ASCII written as \xHH.
        std::string valueTypeText() const;
        // True when the header may be used with a mapping of `fileSize` bytes and, when
        // `wantedFenix` is not 0, was formatted by that writer. On false, `error` holds the
        // reason, also reported at level 0 when the handler's error switch is on. Reads no field
        // of a mapping too short to hold the fixed fields.
        static bool validate(const Header* header,
                             const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                             std::uint64_t fileSize, std::uint32_t wantedFenix, std::string& error);
    };

    // The fixed part of every slot; the value follows at offset 16.
    struct SlotHead {
        std::uint64_t link;  // SlotLink (seq, next)
        std::uint32_t status;
        std::uint32_t rhash;
    };

    SlotTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const Mem::RootPath& rootPath,
              bool writer);
    virtual ~SlotTable() = default;

    // Unmaps the file and forgets the header address.
    virtual void detach();

    // The writer's release of a shrunk tail (Mem::SharedMemWrapper::releaseTail): the memory
    // beyond the current slots goes once it has stayed backed for `seconds`.
    void releaseGraceIs(double seconds) { file_.releaseGraceIs(seconds); }
    bool includeInCoreDump() { return file_.includeInCoreDump(); }
    bool releaseTail() { return file_.releaseTail(); }

    Header* header() const { return header_; }
    // Bytes of the file this process has mapped (0 while detached).
    std::size_t mappedSize() const { return file_.mappedSize(); }
    const Mem::RootPath& rootPath() const { return rootPath_; }
    const std::string& fileName() const { return fileName_; }

    static constexpr const char* slotsFileName = "slots";

  protected:
    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    Mem::RootPath rootPath_;
    std::string fileName_;
    Mem::SharedMemWrapper file_;
    Header* header_ = nullptr;
};

static_assert(sizeof(SlotTable::Header) == 192, "the slot file's fixed header is 192 bytes");
static_assert(offsetof(SlotTable::Header, valueType) == 20 &&
                  offsetof(SlotTable::Header, classType) == 84 &&
                  offsetof(SlotTable::Header, valueSize) == 148 &&
                  offsetof(SlotTable::Header, maxSlots) == 156 &&
                  offsetof(SlotTable::Header, constFlags) == 160 &&
                  offsetof(SlotTable::Header, hash) == 164 &&
                  offsetof(SlotTable::Header, occupiedSlots) == 168 &&
                  offsetof(SlotTable::Header, hashSeed) == 180 &&
                  offsetof(SlotTable::Header, numSlotsPair) == 184,
              "slot file header offsets are the file format");
static_assert(sizeof(SlotTable::SlotHead) == 16, "a slot's value starts at offset 16");

}  // namespace Hoard
