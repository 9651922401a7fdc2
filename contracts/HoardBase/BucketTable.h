#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/SlotLink.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/SharedMemWrapper.h"
#include "contracts/Mem/VerU32.h"

namespace Hoard {

// The bucket file of a table ("buckets" in the table directory): a 32-byte header, then one
// 8-byte SlotLink per bucket. Bucket b's entry starts bucket b's run of the table's
// split-ordered list: its `next` is the first slot of the run, or, for an empty run, the run's
// end marker (0x80000000 | the following bucket in bit-reversed order, 0xFFFFFFFF after the
// last one).
//
// The bucket count is a power of two between minBuckets and maxBuckets; it lives in the header
// as a (version, count) pair at bytes 16..23, published with one 64-bit release store. A new
// file starts with initialBuckets (2) empty runs: entry 0 = 0x80000001, entry 1 = 0xFFFFFFFF.
//
// BucketTable holds what the writer's and the reader's view share: the mapping, the mapped
// count and the layout helpers.
//
// Thread safety: an instance belongs to one thread (the table's writer thread for a
// BucketWriterTable); any number of processes map the same file at once, one of them writing.
// The static helpers are pure.
class BucketTable {
  public:
    static constexpr const char* fileName = "buckets";
    static constexpr std::uint32_t headerSize = 32;
    static constexpr std::uint32_t entrySize = sizeof(std::uint64_t);
    static constexpr std::uint32_t minBuckets = 2;
    static constexpr std::uint32_t initialBuckets = 2;
    // 0x80000000 | b must never equal the end of list 0xFFFFFFFF, so b < 2^31 - 1.
    static constexpr std::uint32_t maxBuckets = 1u << 30;

    // The file header. In the file, every field is read and written through atomics (the
    // writer may change it while readers read), so code works on copies: see headerSnapshot().
    struct Header {
        // The eight ASCII bytes "HOARDBKT" read as a little-endian u64.
        static constexpr std::uint64_t magicValue = 0x544B424452414F48ull;
        static constexpr std::uint32_t versionValue = 1;

        std::uint64_t magic = 0;       // 0
        std::uint32_t version = 0;     // 8
        std::uint32_t fenix = 0;       // 12: SharedMem::FenixId of the formatting writer
        std::uint64_t numBuckets = 0;  // 16: Mem::VerU32 packed: version at 16, count at 20
        std::uint32_t entrySize = 0;   // 24: 8
        std::uint32_t headerSize = 0;  // 28: 32

        Mem::VerU32 numBucketsPair() const { return Mem::VerU32::unpack(numBuckets); }
        std::uint32_t count() const { return numBucketsPair().value; }

        // One line: "BucketTable::Header() magic:0x544b424452414f48 version:1 fenix:<fenix>
        // numBuckets:<count>(v<version>) entrySize:8 headerSize:32".
        std::string toString() const;

        // True when the header may be used with a file of `fileSize` bytes; `wantedFenix` 0
        // accepts any fenix. On false, `error` holds the reason (also traced at level 0 through
        // `debug` when that is on).
        bool validate(const Basalt::Platform::DebugHandler* debug, std::size_t fileSize,
                      std::uint32_t wantedFenix, std::string& error) const;
    };

    // True for a power of two in [minBuckets, maxBuckets].
    static constexpr bool validCount(std::uint32_t count) {
        return count >= minBuckets && count <= maxBuckets && (count & (count - 1)) == 0;
    }
    // Bytes a file needs for `count` entries (a lower bound: files are never cut).
    static constexpr std::size_t fileSizeFor(std::uint32_t count) {
        return std::size_t{headerSize} + std::size_t{count} * entrySize;
    }
    // The bucket after `bucket` in bit-reversed order over log2(count) bits (reverse, add one,
    // reverse back), 0 after the last bucket (count - 1). `count` is a power of two.
    static std::uint32_t nextBucket(std::uint32_t bucket, std::uint32_t count);
    // The `next` of an empty run of `bucket`: 0x80000000 | nextBucket, or 0xFFFFFFFF for the
    // last bucket in bit-reversed order.
    static std::uint32_t endMarker(std::uint32_t bucket, std::uint32_t count);

    BucketTable(const BucketTable&) = delete;
    BucketTable& operator=(const BucketTable&) = delete;

    bool attached() const { return mem_.attached(); }
    // The number of entries this process has mapped and range-checks against (0 detached).
    std::uint32_t count() const { return count_; }
    // The header's (version, count) pair, read with one acquire load; (0, 0) when detached.
    // Pairs with the release store in BucketWriterTable::publish(): entries below a count
    // read here are initialised.
    // Inline: readers check it before and after every operation.
    Mem::VerU32 publishedCount() const {
        if (!attached()) return {};
        return Mem::VerU32::load(headerWords()[offsetof(Header, numBuckets) / 8]);
    }
    // A copy of the header taken with atomic loads (zeros when detached).
    Header headerSnapshot() const;
    Header header() const { return headerSnapshot(); }
    std::string headerToString() const { return headerSnapshot().toString(); }
    // Bucket b's link, one acquire load. Out of range (b >= count()) is
    // CorruptionDetectedException "<owner>::operator[] out-of-range, index:<b> max:<count-1>".
    SlotLink operator[](std::uint32_t b) const { return SlotLink::load(word(b)); }
    // Where bucket b's link lies, for prefetching; range-checked like operator[].
    const void* address(std::uint32_t b) const { return &word(b); }
    const std::string& path() const { return path_; }
    std::size_t mappedSize() const { return mem_.mappedSize(); }
    // Why the last attach or remap failed.
    const std::string& reason() const { return reason_; }

    // Raises CorruptionDetectedException when the file on disk is no longer the one mapped
    // (removed, replaced, not a regular file), or is smaller than the mapped count needs.
    void validateFile() const;
    // Throws CorruptionDetectedException "<owner>::checkResize() found mismatch, local
    // numBuckets:<count()> header numBuckets:<published>" when they differ.
    void checkResize() const;

  protected:
    BucketTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                const Mem::RootPath& rootPath, bool writer, const char* owner);
    ~BucketTable() = default;

    // Inline: every lookup and iteration step reads buckets through it.
    const std::uint64_t& word(std::uint32_t b) const {
        if (b >= count_) throwOutOfRange(b);
        return entries()[b];
    }
    [[noreturn]] void throwOutOfRange(std::uint32_t b) const;
    std::uint64_t& mutableWord(std::uint32_t b) {
        return const_cast<std::uint64_t&>(static_cast<const BucketTable*>(this)->word(b));
    }
    std::uint64_t* headerWords() const { return static_cast<std::uint64_t*>(mem_.base()); }
    std::uint64_t* entries() const { return headerWords() + headerSize / entrySize; }
    std::uint32_t* headerU32(std::size_t offset) const {
        return reinterpret_cast<std::uint32_t*>(static_cast<char*>(mem_.base()) + offset);
    }
    void recordFileIdentity();
    void forget();

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    Mem::RootPath rootPath_;
    Mem::SharedMemWrapper mem_;
    std::string path_;
    const char* owner_;  // "BucketWriter" or "BucketReader", the prefix of the range messages
    std::uint32_t count_ = 0;
    std::string reason_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// The writer's view: creates, formats, adopts, grows and shrinks the bucket file and stores the
// entries.
//
// Thread safety: one writer thread per table uses an instance; reader processes map the same
// file concurrently. Every store a reader depends on is an atomic release store (entries and the
// count pair) and is ordered for them: a grow maps and initialises the new entries before it
// publishes the larger count; a shrink publishes the smaller count before it remaps and
// releases the tail. Nothing here is ever read by a reader without a range check against a
// count it loaded with acquire.
class BucketWriterTable : public BucketTable {
  public:
    enum AttachResult : int { newFile = 1, adopted = 2, reformatted = 4 };

    BucketWriterTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                      const Mem::RootPath& rootPath);
    ~BucketWriterTable() { detach(); }

    // Maps the file, creating the table directory and file when missing. Returns 1 when a new
    // file was formatted, 2 when an existing file was adopted (same fenix, valid header, file
    // large enough for its count: its entries are kept), 4 when an existing file was
    // re-formatted (in place, with initialBuckets empty runs; the count pair's version moves on
    // so lagging readers remap). Raises InvalidInitializeException when the file cannot be
    // mapped.
    int attach(std::uint32_t fenix);
    // Maps an existing, valid file read-only for inspection (a tool or a validation by a process
    // that does not own the table): nothing is created, formatted or written, and the mutating
    // operations refuse with an assertion. False (see reason()) when the file is missing or
    // invalid.
    // `mode` privateCopy maps the file copy-on-write (a trial repair changes no file).
    bool attachView(Mem::SharedMemWrapper::Mode mode = Mem::SharedMemWrapper::Mode::readOnly);
    bool view() const { return view_; }

    // Changes the bucket count to `count` (a valid count), in the order readers need:
    //  - grow: extends the file and the mapping, initialises every new entry e as an empty run
    //    (endMarker(e, count)), calls `beforePublish` (the index stores the heads of the new
    //    runs that have slots; count() is already the new count, publishedCount() still the
    //    old one), then publishes (version + 1, count). The caller cuts the old runs after this
    //    returns.
    //  - shrink: calls `beforePublish` (the index joins the runs), publishes (version + 1,
    //    count), then remaps smaller; the tail stays backed for the release grace and goes at a
    //    later releaseTail() (the file keeps its size).
    // Without `beforePublish` the table must hold no slot (every entry a marker): the runs are
    // all empty, and resize re-chains them itself (grow: new entries, publish, then the old
    // ones; shrink: the kept ones, then publish). A slot in a hook-less resize, or an invalid
    // count, is an AssertException with nothing changed. A failed grow of the file is a
    // MemoryResourceException with nothing published.
    void resize(std::uint32_t count, const std::function<void()>& beforePublish = {});

    // Makes the mapping match the header's count (after the header was changed behind this
    // writer's back); true when it remapped. An unusable count is CorruptionDetectedException.
    bool doResize();

    // The bucket file's own check: the header (magic, version, this writer's fenix, sizes,
    // count a power of two), the mapping matching the published count, and every entry: a slot
    // index below `slotCount`, or the end marker of its run (the following bucket in
    // bit-reversed order below the count, 0xFFFFFFFF only for the last bucket). On false,
    // `error` names the first failure.
    bool validate(std::uint32_t slotCount, std::string& error) const;

    // Unmaps; the file stays.
    void detach();
    // Unmaps and removes the file.
    void cleanup();

    // Bucket b's link word, for release stores of (seq + 4, next) by the index. Range-checked
    // like operator[].
    std::uint64_t& entry(std::uint32_t b) { return mutableWord(b); }
    // Stores bucket b's link with one release store.
    void linkIs(std::uint32_t b, SlotLink link) {
        BASALT_ASSERT(!view_);
        SlotLink::store(entry(b), link);
    }

    std::uint32_t fenix() const { return fenix_; }

    // The release of a shrunk tail of the file (Mem::SharedMemWrapper::releaseTail): entries
    // beyond the current count keep their memory for `seconds` after the shrink.
    void releaseGraceIs(double seconds) { mem_.releaseGraceIs(seconds); }
    bool includeInCoreDump() { return mem_.includeInCoreDump(); }
    bool releaseTail() { return mem_.releaseTail(); }

  private:
    void format(std::size_t existing);
    void publish(std::uint32_t count);
    void rechainEmptyRuns(std::uint32_t from, std::uint32_t to, std::uint32_t count);
    void requireEmptyRuns(std::uint32_t upTo) const;

    std::uint32_t fenix_ = 0;
    bool view_ = false;
};

// The reader's view: maps the file PROT_READ and never writes it.
//
// Thread safety: one thread uses an instance. The writer changes the file at any moment, so
// count() is this process's mapped count (possibly stale: compare it with publishedCount(), or
// call checkResize()/doResize()), and every access is range-checked against it. Data read from
// the file is never trusted: a count the file cannot hold is CorruptionDetectedException,
// never a mapping past the end of the file.
class BucketReaderTable : public BucketTable {
  public:
    BucketReaderTable(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                      const Mem::RootPath& rootPath);
    ~BucketReaderTable() { detach(); }

    // Maps the existing file read-only and its published count. False (traced at level 1,
    // reason() set; the caller reports the failure) when the file is missing, shorter than a
    // header, or its count is not a valid count that the file holds.
    bool attach();
    void detach();

    // Remaps when the published count differs from count(); true when count() changed. A count
    // the file cannot hold is CorruptionDetectedException; a failed mremap is
    // MemoryResourceException. Never maps past the end of the file.
    bool doResize();
    bool resize() { return doResize(); }

    // The header checks of the writer's validate with `fenix` (0 for any) and the file's size.
    // Entries are not checked here: a live writer changes them; every walk range-checks them.
    bool validate(std::uint32_t fenix, std::string& error) const;

    // How often doResize() took a new count (remapping when it outgrew the mapping), and how
    // often a remap moved the mapping.
    std::uint64_t remaps() const { return remaps_; }
    std::uint64_t baseMoves() const { return baseMoves_; }

  private:
    std::uint64_t remaps_ = 0;
    std::uint64_t baseMoves_ = 0;
};

static_assert(sizeof(BucketTable::Header) == BucketTable::headerSize,
              "the bucket file header is 32 bytes; entries start at byte 32");
static_assert(offsetof(BucketTable::Header, numBuckets) == 16,
              "the (version, count) pair sits at bytes 16..23, where readers load it");
static_assert(BucketTable::headerSize % 8 == 0,
              "entries must be 8-aligned for their 64-bit atomic stores and loads");
static_assert(BucketTable::entrySize == sizeof(SlotLink),
              "one SlotLink per bucket, the same encoding as slot links");
static_assert(BucketTable::validCount(BucketTable::initialBuckets),
              "a new file starts with a valid count");
static_assert((SlotLink::bucketFlag | (BucketTable::maxBuckets - 1)) != SlotLink::endOfList,
              "a marker to the last bucket must differ from the end of the list");

}  // namespace Hoard
