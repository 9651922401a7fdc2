#include "Hoard/SlotTable.h"

#include <cstring>
#include <sstream>

#include "contracts/Basalt/HashMix.h"
#include "contracts/HoardBase/Compatibility.h"

namespace Hoard {

namespace {
using Mix = Basalt::Impl::HashMix<std::uint32_t>;

template <class T>
std::uint32_t mixField(std::uint32_t h, const T& field) {
    return Mix::mixFixedLen(h, &field, sizeof field);
}
}  // namespace

std::uint32_t SlotTable::Header::doHash() const {
    std::uint32_t h = Mix::offsetBasis;
    h = Mix::mixFixedLen(h, valueType, nameSize);
    h = Mix::mixFixedLen(h, classType, nameSize);
    h = mixField(h, valueSize);
    h = mixField(h, slotSize);
    h = mixField(h, maxSlots);
    h = mixField(h, constFlags);
    h = mixField(h, hashSeed);
    return h;
}

namespace {
// A name field as one line of text: up to its NUL, never past its 64 bytes; a file may hold any
// bytes there, so '\\' and '"' are written as \\ and \", bytes outside printable ASCII as \xHH.
std::string nameText(const char (&name)[SlotTable::nameSize]) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < SlotTable::nameSize && name[i] != 0; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c == '\\' || c == '"') {
            text += {'\\', static_cast<char>(c)};
        } else if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            text += {'\\', 'x', digits[c >> 4], digits[c & 15]};
        }
    }
    return text;
}
}  // namespace

std::string SlotTable::Header::valueTypeText() const { return nameText(valueType); }

std::string SlotTable::Header::toString() const {
    std::ostringstream os;
    os << "SlotTable::Header()" << std::hex << " magic:0x" << magic << std::dec
       << " version:" << version << " fenix:" << fenix << " platform:" << platform
       << " valueType:\"" << nameText(valueType) << "\""
       << " classType:\"" << nameText(classType) << "\""
       << " valueSize:" << valueSize << " slotSize:" << slotSize << " maxSlots:" << maxSlots
       << std::hex << " constFlags:0x" << constFlags << " runtimeFlags:0x"
       << Mem::Atomics::loadAcquire(runtimeFlags) << " hash:0x" << hash << std::dec
       << " occupiedSlots:" << Mem::Atomics::loadAcquire(occupiedSlots)
       << " freeSlots:" << Mem::Atomics::loadAcquire(freeSlots)
       << " mostSlots:" << Mem::Atomics::loadAcquire(mostSlots) << " hashSeed:" << hashSeed
       << " numSlots:" << numSlots();
    return os.str();
}

bool SlotTable::Header::validate(const Header* h,
                                 const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                                 std::uint64_t fileSize, std::uint32_t wantedFenix,
                                 std::string& error) {
    std::ostringstream os;
    auto fail = [&]() {
        error = os.str();
        BASALT_TRACE(debug, 0, error);
        return false;
    };
    // A mapping too short for the fixed fields is refused before any field is read.
    if (h == nullptr || fileSize < sizeof(Header)) {
        os << "SlotTable::Header::validate() bad header file size: " << fileSize
           << " wanted:" << sizeof(Header);
        return fail();
    }
    if (h->magic != magicValue) {
        os << "SlotTable::Header::validate() bad magic: " << std::hex << h->magic;
        return fail();
    }
    if (h->version != versionValue) {
        os << "SlotTable::Header::validate() bad version: " << h->version;
        return fail();
    }
    if (wantedFenix != 0 && h->fenix != wantedFenix) {
        os << "SlotTable::validate() bad fenix:" << h->fenix << " wanted:" << wantedFenix;
        return fail();
    }
    if (h->platform != Compatibility::thisPlatform) {
        os << "SlotTable::Header::validate() bad platform specification: "
           << Compatibility::platformType(h->platform)
           << " expecting: " << Compatibility::platformType(Compatibility::thisPlatform);
        return fail();
    }
    const std::uint32_t computed = h->doHash();
    if (computed != h->hash) {
        os << "SlotTable::Header::validate() checksum fail: " << std::hex << computed
           << " != " << h->hash;
        return fail();
    }
    const Mem::VerU32 numSlots = h->numSlots();
    const std::uint32_t occupiedSlots = Mem::Atomics::loadAcquire(h->occupiedSlots);
    const std::uint32_t freeSlots = Mem::Atomics::loadAcquire(h->freeSlots);
    const std::uint32_t mostSlots = Mem::Atomics::loadAcquire(h->mostSlots);
    if (occupiedSlots > numSlots.value) {
        os << "SlotTable::Header::validate() bad occupiedSlots: " << occupiedSlots
           << " num slots: " << numSlots;
        return fail();
    }
    if (freeSlots != SlotLink::endOfList && freeSlots >= numSlots.value) {
        os << "SlotTable::Header::validate() bad freeSlots: " << freeSlots
           << " slots: " << numSlots.value;
        return fail();
    }
    if (mostSlots < numSlots.value) {
        os << "SlotTable::Header::validate() bad mostSlots:" << mostSlots
           << " numSlots:" << numSlots.value;
        return fail();
    }
    if (fileSize < h->headerSize()) {
        os << "SlotTable::Header::validate() bad header file size: " << fileSize
           << " wanted:" << h->headerSize();
        return fail();
    }
    const std::uint64_t needed = h->headerSize() + std::uint64_t{numSlots.value} * h->slotSize;
    if (fileSize < needed) {
        os << "SlotTable::Header::validate() bad shmem size:" << fileSize << " wanted:" << needed
           << " for " << numSlots.value << " slots";
        return fail();
    }
    return true;
}

SlotTable::SlotTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                     const Mem::RootPath& rootPath, bool writer)
    : debug_(std::move(debug)),
      rootPath_(rootPath),
      fileName_(rootPath.filePath(slotsFileName)),
      file_(debug_, rootPath, slotsFileName, writer) {}

void SlotTable::detach() {
    BASALT_TRACE(debug_, 5, "SlotTable::detach()");
    file_.detach();
    header_ = nullptr;
}

}  // namespace Hoard
