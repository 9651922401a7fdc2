#include "contracts/HoardBase/BucketTable.h"

#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "contracts/Basalt/Exception.h"
#include "contracts/Basalt/Util.h"
#include "contracts/Mem/Atomics.h"

namespace Hoard {

namespace {

namespace Atomics = Mem::Atomics;

// Byte offsets of the header fields (see BucketTable::Header).
constexpr std::size_t magicOffset = 0;
constexpr std::size_t versionOffset = 8;
constexpr std::size_t fenixOffset = 12;
constexpr std::size_t numBucketsOffset = 16;
constexpr std::size_t entrySizeOffset = 24;
constexpr std::size_t headerSizeOffset = 28;

static_assert(offsetof(BucketTable::Header, magic) == magicOffset &&
                  offsetof(BucketTable::Header, version) == versionOffset &&
                  offsetof(BucketTable::Header, fenix) == fenixOffset &&
                  offsetof(BucketTable::Header, numBuckets) == numBucketsOffset &&
                  offsetof(BucketTable::Header, entrySize) == entrySizeOffset &&
                  offsetof(BucketTable::Header, headerSize) == headerSizeOffset,
              "the header struct mirrors the file's byte layout");

std::string hex(std::uint64_t v) {
    std::ostringstream os;
    os << std::hex << v;
    return os.str();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Header

std::string BucketTable::Header::toString() const {
    std::ostringstream os;
    os << "BucketTable::Header() magic:0x" << std::hex << magic << std::dec
       << " version:" << version << " fenix:" << fenix << " numBuckets:" << numBucketsPair()
       << " entrySize:" << entrySize << " headerSize:" << headerSize;
    return os.str();
}

bool BucketTable::Header::validate(const Basalt::Platform::DebugHandler* debug,
                                   std::size_t fileSize, std::uint32_t wantedFenix,
                                   std::string& error) const {
    std::ostringstream os;
    if (magic != magicValue) {
        os << "BucketTable::Header::validate() bad magic: " << hex(magic);
    } else if (version != versionValue) {
        os << "BucketTable::Header::validate() bad version: " << version;
    } else if (wantedFenix != 0 && fenix != wantedFenix) {
        os << "BucketTable::validate() bad fenix:" << fenix << " wanted:" << wantedFenix;
    } else if (entrySize != BucketTable::entrySize || headerSize != BucketTable::headerSize) {
        os << "BucketTable::Header::validate() bad layout entrySize:" << entrySize
           << " headerSize:" << headerSize;
    } else if (!validCount(count())) {
        os << "BucketTable::Header::validate() bad numBuckets: " << numBucketsPair();
    } else if (fileSize < BucketTable::headerSize) {
        os << "BucketTable::Header::validate() bad header file size: " << fileSize
           << " wanted:" << BucketTable::headerSize;
    } else if (fileSize < fileSizeFor(count())) {
        os << "BucketTable::Header::validate() bad shmem size:" << fileSize
           << " wanted:" << fileSizeFor(count()) << " for " << count() << " buckets";
    } else {
        return true;
    }
    error = os.str();
    BASALT_TRACE(debug, 0, error);
    return false;
}

// ---------------------------------------------------------------------------------------------
// BucketTable

std::uint32_t BucketTable::nextBucket(std::uint32_t bucket, std::uint32_t count) {
    const int bits = std::countr_zero(count);  // count is a power of two
    if (bits == 0) return 0;
    const std::uint32_t position = Basalt::Util::reverse(bucket & (count - 1)) >> (32 - bits);
    if (position + 1 == count) return 0;
    return Basalt::Util::reverse(position + 1) >> (32 - bits);
}

std::uint32_t BucketTable::endMarker(std::uint32_t bucket, std::uint32_t count) {
    const std::uint32_t next = nextBucket(bucket, count);
    return next == 0 ? SlotLink::endOfList : SlotLink::bucketMarker(next);
}

BucketTable::BucketTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                         const Mem::RootPath& rootPath, bool writer, const char* owner)
    : debug_(std::move(debug)),
      rootPath_(rootPath),
      mem_(debug_, rootPath, fileName, writer),
      path_(rootPath.filePath(fileName)),
      owner_(owner) {}

BucketTable::Header BucketTable::headerSnapshot() const {
    Header h;
    if (!attached()) return h;
    // The acquire load of the magic pairs with the release store that ends a format: a header
    // that shows the magic shows every field written before it.
    h.magic = Atomics::loadAcquire(headerWords()[magicOffset / 8]);
    h.version = Atomics::loadRelaxed(*headerU32(versionOffset));
    h.fenix = Atomics::loadRelaxed(*headerU32(fenixOffset));
    h.numBuckets = Atomics::loadAcquire(headerWords()[numBucketsOffset / 8]);
    h.entrySize = Atomics::loadRelaxed(*headerU32(entrySizeOffset));
    h.headerSize = Atomics::loadRelaxed(*headerU32(headerSizeOffset));
    return h;
}

void BucketTable::throwOutOfRange(std::uint32_t b) const {
    Basalt::CorruptionDetectedException::throwException(
        std::string(owner_) + "::operator[] out-of-range, index:" + std::to_string(b) +
        " max:" + std::to_string(std::int64_t{count_} - 1));
}

void BucketTable::checkResize() const {
    const std::uint32_t header = publishedCount().value;
    if (header != count_) {
        Basalt::CorruptionDetectedException::throwException(
            std::string(owner_) + "::checkResize() found mismatch, local numBuckets:" +
            std::to_string(count_) + " header numBuckets:" + std::to_string(header));
    }
}

void BucketTable::recordFileIdentity() {
    struct stat st;
    if (::lstat(path_.c_str(), &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

void BucketTable::validateFile() const {
    const std::string who = std::string(owner_) + "::validateFile() " + path_;
    if (!attached()) Basalt::CorruptionDetectedException::throwException(who + " not attached");
    struct stat st;
    if (::lstat(path_.c_str(), &st) != 0) {
        Basalt::CorruptionDetectedException::throwException(
            who + " cannot be found: " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        Basalt::CorruptionDetectedException::throwException(who + " is not a regular file");
    }
    if (st.st_dev != dev_ || st.st_ino != ino_) {
        Basalt::CorruptionDetectedException::throwException(who +
                                                            " was replaced since it was mapped");
    }
    const std::size_t needed = fileSizeFor(count_);
    if (static_cast<std::size_t>(st.st_size) < needed) {
        Basalt::CorruptionDetectedException::throwException(
            who + " has " + std::to_string(st.st_size) + " bytes, " + std::to_string(count_) +
            " buckets need " + std::to_string(needed));
    }
}

void BucketTable::forget() {
    mem_.detach();
    count_ = 0;
    dev_ = 0;
    ino_ = 0;
}

// ---------------------------------------------------------------------------------------------
// BucketWriterTable

BucketWriterTable::BucketWriterTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                                     const Mem::RootPath& rootPath)
    : BucketTable(std::move(debug), rootPath, true, "BucketWriter") {}

bool BucketWriterTable::attachView(Mem::SharedMemWrapper::Mode mode) {
    detach();
    reason_.clear();
    if (mem_.attach(headerSize, mode) == nullptr) {
        reason_ = mem_.reason();
        return false;
    }
    const Header h = headerSnapshot();
    std::string why;
    if (!h.validate(nullptr, mem_.mappedSize(), 0, why)) {
        reason_ = why;
        detach();
        return false;
    }
    view_ = true;
    fenix_ = h.fenix;
    count_ = h.count();
    return true;
}

int BucketWriterTable::attach(std::uint32_t fenix) {
    detach();
    view_ = false;
    reason_.clear();
    rootPath_.ensureDirectory();
    if (mem_.attach(headerSize, Mem::SharedMemWrapper::Mode::readWrite) == nullptr) {
        reason_ = mem_.reason();
        Basalt::InvalidInitializeException::throwException(
            "BucketWriterTable::attach() cannot attach to shmem " + path_ +
            " size:" + std::to_string(headerSize) + ": " + reason_);
    }
    recordFileIdentity();
    fenix_ = fenix;
    const std::size_t existing = mem_.memSize();
    if (existing != 0) {
        const Header h = headerSnapshot();
        std::string why;
        if (h.validate(nullptr, existing, fenix, why)) {
            const std::size_t size = fileSizeFor(h.count());
            if (mem_.resize(size) == nullptr) {
                reason_ = mem_.reason();
                Basalt::MemoryResourceException::throwException(
                    "BucketWriterTable::attach() failed to resize " + path_ + " to size " +
                    std::to_string(size) + " : " + reason_);
            }
            count_ = h.count();
            BASALT_TRACE(debug_, 1,
                         "BucketWriterTable::attach() to existing "
                             << path_ << " numBuckets:" << h.numBucketsPair());
            BASALT_TRACE(debug_, 3, h.toString());
            return adopted;
        }
        BASALT_TRACE(debug_, 1,
                     "BucketWriterTable::attach() re-formatting " << path_ << ": " << why);
    }
    format(existing);
    if (existing != 0) {
        BASALT_TRACE(debug_, 1, "BucketWriterTable::attach() re-formatted " << path_);
    } else {
        BASALT_TRACE(debug_, 1, "BucketWriterTable::attach() to new file " << path_);
    }
    BASALT_TRACE(debug_, 3, headerToString());
    return existing != 0 ? reformatted : newFile;
}

// Formats the mapped file in place with initialBuckets empty runs. `existing` is the file's size
// before this attach (0 for a new file).
void BucketWriterTable::format(std::size_t existing) {
    const std::uint32_t count = initialBuckets;
    const std::size_t size = fileSizeFor(count);
    // Map the old file whole and shrink the mapping: the old entries' memory goes after the
    // release grace (the file keeps its size for lagging readers).
    if (existing > size && mem_.resize(existing) == nullptr) {
        BASALT_TRACE(
            debug_, 1,
            "BucketWriterTable::format() keeps the old tail of " << path_ << ": " << mem_.reason());
    }
    if (mem_.resize(size) == nullptr) {
        reason_ = mem_.reason();
        Basalt::MemoryResourceException::throwException(
            "BucketWriterTable::attach() failed to resize " + path_ + " to size " +
            std::to_string(size) + " : " + reason_);
    }
    count_ = count;
    std::uint64_t* hw = headerWords();
    // Pairs with the magic check in Header::validate: a reader that validates after this store
    // refuses the header until the format below is complete.
    Atomics::storeRelease(hw[magicOffset / 8], std::uint64_t{0});
    for (std::uint32_t b = 0; b < count; ++b) {
        // A re-format moves every link's seq on, so a reader that compares a bucket link's seq
        // across its walk notices the change.
        const SlotLink old = SlotLink::load(entries()[b]);
        SlotLink::store(entries()[b], SlotLink{existing != 0 ? old.seq + SlotLink::seqStep : 0,
                                               endMarker(b, count)});
    }
    Atomics::storeRelease(*headerU32(versionOffset), Header::versionValue);
    Atomics::storeRelease(*headerU32(fenixOffset), fenix_);
    Atomics::storeRelease(*headerU32(entrySizeOffset), entrySize);
    Atomics::storeRelease(*headerU32(headerSizeOffset), std::uint32_t{headerSize});
    // A re-format moves the pair's version on: pairs with the reader's count check (checkResize,
    // doResize), which then remaps.
    const Mem::VerU32 oldPair = Mem::VerU32::unpack(Atomics::loadRelaxed(hw[numBucketsOffset / 8]));
    Mem::VerU32::store(hw[numBucketsOffset / 8],
                       Mem::VerU32{existing != 0 ? oldPair.version + 1 : 0, count});
    // Pairs with the acquire load of the magic in headerSnapshot() (validate): a reader that sees
    // the magic sees every field and entry stored above.
    Atomics::storeRelease(hw[magicOffset / 8], Header::magicValue);
}

void BucketWriterTable::publish(std::uint32_t count) {
    std::uint64_t& pairWord = headerWords()[numBucketsOffset / 8];
    const Mem::VerU32 old = Mem::VerU32::unpack(Atomics::loadRelaxed(pairWord));
    // Pairs with the acquire load in publishedCount() (reader doResize/checkResize): a reader
    // that sees `count` sees every entry below it as stored before this call.
    Mem::VerU32::store(pairWord, Mem::VerU32{old.version + 1, count});
}

void BucketWriterTable::requireEmptyRuns(std::uint32_t upTo) const {
    for (std::uint32_t b = 0; b < upTo; ++b) {
        const SlotLink l = (*this)[b];
        if (SlotLink::isSlot(l.next)) {
            BASALT_TRACE(debug_, 0,
                         "BucketWriterTable::resize() without a split function needs empty runs, "
                         "bucket:"
                             << b << " holds slot:" << l.next);
            BASALT_ASSERT(!SlotLink::isSlot(l.next) &&
                          "resize without beforePublish needs empty runs");
        }
    }
}

// Stores the empty-run end marker for `count` buckets in every entry of [from, to) that does not
// hold it yet.
void BucketWriterTable::rechainEmptyRuns(std::uint32_t from, std::uint32_t to,
                                         std::uint32_t count) {
    for (std::uint32_t b = from; b < to; ++b) {
        const SlotLink l = (*this)[b];
        const std::uint32_t marker = endMarker(b, count);
        // Pairs with a reader's acquire load of the entry (operator[]); a reader that still uses
        // a different count sees a marker out of its order and re-checks the count.
        if (l.next != marker) linkIs(b, SlotLink{l.seq + SlotLink::seqStep, marker});
    }
}

void BucketWriterTable::resize(std::uint32_t count, const std::function<void()>& beforePublish) {
    BASALT_ASSERT(attached());
    BASALT_ASSERT(!view_);
    BASALT_ASSERT(validCount(count));
    const std::uint32_t old = count_;
    if (count == old) return;
    if (!beforePublish) requireEmptyRuns(old);
    BASALT_TRACE(debug_, 2,
                 "BucketWriterTable::resize() " << path_ << " from " << old << " to " << count
                                                << " buckets");
    if (count > old) {
        const std::size_t size = fileSizeFor(count);
        if (mem_.resize(size) == nullptr) {
            reason_ = mem_.reason();
            Basalt::MemoryResourceException::throwException(
                "BucketWriterTable::resize() failed to resize " + path_ + " from " +
                std::to_string(old) + " to " + std::to_string(count) + " buckets, needed " +
                std::to_string(size) + " bytes. Reason: " + reason_);
        }
        count_ = count;
        // The new entries start as empty runs; no reader reads them before publish() below.
        // (They may hold stale words from before an earlier shrink: the page that held the
        // header is never punched.)
        rechainEmptyRuns(old, count, count);
        if (beforePublish) {
            try {
                beforePublish();
            } catch (...) {
                count_ = old;  // nothing was published; the larger mapping is harmless
                throw;
            }
        }
        publish(count);
        // Cut the old runs (empty ones only: with beforePublish the caller cuts its runs).
        if (!beforePublish) rechainEmptyRuns(0, old, count);
    } else {
        // Join the runs before the smaller count is published.
        if (beforePublish) {
            beforePublish();
        } else {
            rechainEmptyRuns(0, count, count);
        }
        publish(count);
        count_ = count;
        // Only now may the tail go, after the release grace: a reader with the larger count may
        // still read it within its operation, and then sees the changed pair and remaps.
        if (mem_.resize(fileSizeFor(count)) == nullptr) {
            BASALT_TRACE(debug_, 0,
                         "BucketWriterTable::resize() keeps the larger mapping of "
                             << path_ << ": " << mem_.reason());
        }
    }
}

bool BucketWriterTable::doResize() {
    if (!attached()) return false;
    const Mem::VerU32 p = publishedCount();
    if (p.value == count_) return false;
    if (!validCount(p.value)) {
        std::ostringstream os;
        os << "BucketWriter::doResize() bad numBuckets:" << p << " in " << path_;
        Basalt::CorruptionDetectedException::throwException(os.str());
    }
    const std::size_t needed = fileSizeFor(p.value);
    const std::size_t fileSize = mem_.fileSize();
    if (fileSize < needed) {
        Basalt::CorruptionDetectedException::throwException(
            "BucketWriter::doResize() requesting to map " + path_ + " " + std::to_string(p.value) +
            " buckets. Requested file resize to " + std::to_string(needed) +
            " but real file size is " + std::to_string(fileSize));
    }
    if (mem_.resize(needed) == nullptr) {
        reason_ = mem_.reason();
        Basalt::MemoryResourceException::throwException(
            "BucketWriter::doResize() failed to resize " + path_ + " from " +
            std::to_string(count_) + " to " + std::to_string(p.value) +
            " buckets. Reason: " + reason_);
    }
    count_ = p.value;
    return true;
}

bool BucketWriterTable::validate(std::uint32_t slotCount, std::string& error) const {
    std::ostringstream os;
    if (!attached()) {
        error = "BucketWriter::validate() " + path_ + " not attached";
        BASALT_TRACE(debug_, 0, error);
        return false;
    }
    const Header h = headerSnapshot();
    if (!h.validate(debug_.get(), mem_.fileSize(), fenix_, error)) return false;
    if (h.count() != count_) {
        os << "BucketWriter::validate() header numBuckets:" << h.numBucketsPair()
           << " differs from mapped numBuckets:" << count_;
    } else {
        for (std::uint32_t b = 0; b < count_ && os.tellp() == 0; ++b) {
            const std::uint32_t next = (*this)[b].next;
            const std::uint32_t expected = endMarker(b, count_);
            if (SlotLink::isSlot(next)) {
                if (next >= slotCount) {
                    os << "BucketWriter::validate() bucket:" << b << " next slot:" << next
                       << " out of range, slotCount:" << slotCount;
                }
                continue;
            }
            if (next == expected) continue;
            os << "BucketWriter::validate() bucket:" << b;
            if (next == SlotLink::endOfList) {
                os << " ends the table";
            } else if (SlotLink::markerBucket(next) >= count_) {
                os << " next bucket:" << SlotLink::markerBucket(next) << " out of range";
            } else {
                os << " next bucket:" << SlotLink::markerBucket(next);
            }
            if (expected == SlotLink::endOfList) {
                os << ", expected the end of the table";
            } else {
                os << ", expected next bucket:" << SlotLink::markerBucket(expected);
            }
            os << " numBuckets:" << count_;
        }
    }
    if (os.tellp() == 0) return true;
    error = os.str();
    BASALT_TRACE(debug_, 0, error);
    return false;
}

void BucketWriterTable::detach() {
    if (attached()) BASALT_TRACE(debug_, 5, "BucketWriterTable::detach() " << path_);
    forget();
}

void BucketWriterTable::cleanup() {
    BASALT_ASSERT(!view_);
    detach();
    BASALT_TRACE(debug_, 1, "BucketWriterTable::cleanup() removing file: " << path_);
    rootPath_.removeFile(fileName);
}

// ---------------------------------------------------------------------------------------------
// BucketReaderTable

BucketReaderTable::BucketReaderTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                                     const Mem::RootPath& rootPath)
    : BucketTable(std::move(debug), rootPath, false, "BucketReader") {}

bool BucketReaderTable::attach() {
    detach();
    reason_.clear();
    if (mem_.attach(headerSize, Mem::SharedMemWrapper::Mode::readOnly) == nullptr) {
        reason_ = "cannot attach to shmem " + path_ + ": " + mem_.reason();
    } else {
        recordFileIdentity();
        const Mem::VerU32 p = publishedCount();
        if (!validCount(p.value)) {
            std::ostringstream os;
            os << "bad numBuckets:" << p << " in " << path_;
            reason_ = os.str();
        } else {
            try {
                // The first mapping is not a remap.
                const std::uint64_t remaps = remaps_, baseMoves = baseMoves_;
                doResize();
                remaps_ = remaps;
                baseMoves_ = baseMoves;
            } catch (const Basalt::Exception& e) {
                reason_ = e.what();
            }
        }
    }
    if (reason_.empty()) {
        BASALT_TRACE(debug_, 5, "BucketReader::attach() " << path_ << " numBuckets:" << count_);
        return true;
    }
    BASALT_TRACE(debug_, 1, "BucketReader::attach() " << reason_);
    forget();
    return false;
}

void BucketReaderTable::detach() {
    if (attached()) BASALT_TRACE(debug_, 5, "BucketReader::detach() " << path_);
    forget();
}

bool BucketReaderTable::doResize() {
    if (!attached()) return false;
    // A writer grows the file before it publishes a larger count and never cuts it, so a count
    // the file cannot hold is corruption, unless the pair changed meanwhile (a bounded retry).
    constexpr int attempts = 4;
    for (int attempt = 1;; ++attempt) {
        const Mem::VerU32 p = publishedCount();
        if (p.value == count_) return false;
        std::ostringstream failure;
        const std::size_t needed = fileSizeFor(p.value);
        const std::size_t fileSize = needed > mem_.mappedSize() ? mem_.fileSize() : needed;
        if (!validCount(p.value)) {
            failure << "BucketReader::doResize() bad numBuckets:" << p << " in " << path_;
        } else if (fileSize < needed) {
            failure << "BucketReader::doResize() requesting to map " << path_ << " " << p.value
                    << " buckets. Requested file resize to " << needed << " but real file size is "
                    << fileSize;
        }
        if (failure.tellp() != 0) {
            if (attempt < attempts && publishedCount() != p) continue;
            Basalt::CorruptionDetectedException::throwException(failure.str());
        }
        if (needed > mem_.mappedSize()) {
            void* const oldBase = mem_.base();
            void* const base = mem_.resize(needed);
            if (base == nullptr) {
                reason_ = mem_.reason();
                Basalt::MemoryResourceException::throwException(
                    "BucketReader::doResize() failed to resize " + path_ + " from " +
                    std::to_string(count_) + " to " + std::to_string(p.value) +
                    " buckets, needed " + std::to_string(needed) + " bytes. Reason: " + reason_);
            }
            if (base != oldBase) ++baseMoves_;
        }
        BASALT_TRACE(debug_, 2,
                     "BucketReader::doResize() " << path_ << " from " << count_ << " buckets to "
                                                 << p.value);
        count_ = p.value;
        ++remaps_;
        return true;
    }
}

bool BucketReaderTable::validate(std::uint32_t fenix, std::string& error) const {
    if (!attached()) {
        error = "BucketReader::validate() " + path_ + " not attached";
        BASALT_TRACE(debug_, 0, error);
        return false;
    }
    return headerSnapshot().validate(debug_.get(), mem_.fileSize(), fenix, error);
}

}  // namespace Hoard
