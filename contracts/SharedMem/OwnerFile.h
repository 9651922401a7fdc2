#pragma once

#include <sys/types.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/SharedMem/FenixFile.h"

namespace SharedMem {

// The socket through which a table's owner wakes its readers, and the table id on it.
// kAnyTable (-1 as a signed id) stands for every table of the socket. Text form:
// "socketName:<name> tableId:<id as signed 32-bit>".
class ShocketInfo {
  public:
    static constexpr std::uint32_t kAnyTable = 0xFFFFFFFFu;

    ShocketInfo() = default;
    ShocketInfo(std::string socketName, std::uint32_t tableId)
        : socketName_(std::move(socketName)), tableId_(tableId) {}

    const std::string& socketName() const { return socketName_; }
    void socketNameIs(const std::string& name) { socketName_ = name; }
    std::uint32_t tableId() const { return tableId_; }
    void tableIdIs(std::uint32_t id) { tableId_ = id; }
    // No socket recorded.
    bool empty() const { return socketName_.empty(); }
    std::string toString() const;

    friend bool operator==(const ShocketInfo&, const ShocketInfo&) = default;
    friend std::ostream& operator<<(std::ostream& os, const ShocketInfo& i) {
        return os << i.toString();
    }

  private:
    std::string socketName_;
    std::uint32_t tableId_ = 0;
};

// A socket name split into its owner's name and number: "<name>.<number>", the number the
// decimal digits after the last '.', the name everything before it (non-empty). Abstract socket
// names are written with a leading '@'. Text form: "<name>.<number>".
class ShocketName {
  public:
    ShocketName() = default;
    ShocketName(std::string name, std::uint32_t number)
        : name_(std::move(name)), number_(number), valid_(!name_.empty()) {}

    // Parses `text`; on a malformed text returns false and leaves this empty (invalid, number 0).
    bool ShocketNameIs(const std::string& text);

    bool valid() const { return valid_; }
    const std::string& name() const { return name_; }
    std::uint32_t number() const { return number_; }
    std::string toString() const { return name_ + "." + std::to_string(number_); }

  private:
    std::string name_;
    std::uint32_t number_ = 0;
    bool valid_ = false;
};

// The owner record, as stored at offset 0 of the "owner" file (little-endian, kOwnerRecordSize
// bytes, nothing after it). The checksum is 32-bit FNV-1a (Basalt::Impl::HashMix<uint32_t>,
// starting at its offset basis) over bytes [0, 132). Unused bytes of socketName are zero.
struct OwnerRecord {
    static constexpr std::uint32_t kMagic = 0x524E574F;  // "OWNR" in file byte order
    static constexpr std::uint32_t kVersion = 1;
    static constexpr std::size_t kMaxSocketName = 107;  // a Unix socket path, without its NUL

    std::uint32_t magic = kMagic;        // +0
    std::uint32_t version = kVersion;    // +4
    std::int32_t pid = 0;                // +8   the owning writer's process id; 0 when none yet
    std::uint32_t fenix = 0;             // +12  the owner's FenixId; 0 when not recorded
    std::uint32_t tableId = 0;           // +16  ShocketInfo::tableId
    std::uint32_t socketNameLength = 0;  // +20  0..kMaxSocketName
    char socketName[kMaxSocketName + 1] = {};  // +24  the first socketNameLength bytes are used
    std::uint32_t checksum = 0;                // +132

    std::uint32_t computeChecksum() const;
};

inline constexpr std::size_t kOwnerRecordSize = 136;
static_assert(std::endian::native == std::endian::little,
              "the owner record is stored in the host's byte order, defined as little-endian");
static_assert(sizeof(OwnerRecord) == kOwnerRecordSize, "the owner record has no padding");
static_assert(offsetof(OwnerRecord, pid) == 8 && offsetof(OwnerRecord, tableId) == 16 &&
                  offsetof(OwnerRecord, socketName) == 24,
              "owner record field offsets are part of the file format");
static_assert(offsetof(OwnerRecord, checksum) == kOwnerRecordSize - 4,
              "the checksum is the record's last word and covers every byte before it");

// The table's "owner" file: who owns the table (pid, fenix) and the socket its readers are woken
// through. Its descriptor is also what the writer lock (Mem::WriterLock) flocks.
//
// The record is rewritten in place with one pwrite (never by rename: the writer lock lives on
// the file's inode). Writes happen under the record lock: an F_OFD_SETLKW write lock on the
// record's byte range, taken through this object's own descriptor. It is an open-file-description
// lock, independent of the writer's flock, so a writer holding the writer lock never blocks on
// itself; a forked child never holds it (the descriptor is closed in the child).
//
// Readers never write or lock the file; they read the record with pread and check the magic,
// version and checksum, retrying a few times when a concurrent rewrite tore their read. Whatever
// the file holds, a reader gets a false validation or Basalt::CorruptionDetectedException, never
// a crash.
//
// A local owner file (a process-private table) has no file: the record lives in memory, lock()
// does nothing and validation always passes.
//
// Thread safety: one thread uses an instance. Different processes (and different instances) may
// use the same file at the same time; the record lock serialises writers, checksums protect
// readers.
class OwnerFile {
  public:
    static constexpr const char* kFileName = "owner";

    // Holds one level of this owner file's record lock; releases it when destroyed.
    class Lock {
      public:
        Lock() = default;
        Lock(Lock&& other) noexcept : owner_(other.owner_) { other.owner_ = nullptr; }
        Lock& operator=(Lock&& other) noexcept;
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        ~Lock() { release(); }
        void release();
        bool held() const { return owner_ != nullptr; }

      private:
        friend class OwnerFile;
        explicit Lock(OwnerFile* owner) : owner_(owner) {}
        OwnerFile* owner_ = nullptr;
    };

    OwnerFile(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const Mem::RootPath& rootPath,
              bool local);
    ~OwnerFile();
    OwnerFile(const OwnerFile&) = delete;
    OwnerFile& operator=(const OwnerFile&) = delete;

    // Takes the record lock, waiting while another process holds it; nests (only the outermost
    // level locks the file). For a writer's root path, creates the file (0644) and writes an empty
    // record (pid 0, no socket) into an empty file. Raises Basalt::NoPermissionException for a
    // reader's root path, Basalt::InvalidInitializeException when the file cannot be opened or
    // locked.
    [[nodiscard]] Lock lock();
    bool locked() const { return lockDepth_ > 0; }
    // When the record lock is held on a file that is no longer the one at the path (it was
    // removed and re-created), moves the lock to the file now at the path. Mem::WriterLock calls
    // this after it locked the current file.
    void refreshLock();

    // True when the file holds a well-formed record; `error` gets the reason otherwise.
    bool validate() const;
    bool validate(std::string& error) const;
    // Raises Basalt::CorruptionDetectedException with the reason when validate() fails.
    void validateFile() const;
    // The record's fields, the path and the verdict as one line; the leading bytes in hex when
    // the record is not well-formed.
    std::string headerToString() const;

    // The stored socket information; empty when the file is missing or empty. Raises
    // Basalt::CorruptionDetectedException when the file holds a malformed record.
    ShocketInfo shocketInfo() const;
    // Writes `info` and this process's pid under the record lock (writers only), keeping the
    // fenix. Replaces a malformed record. Raises Basalt::InvalidInitializeException for a socket
    // name longer than OwnerRecord::kMaxSocketName or holding a NUL byte.
    void shocketInfoIs(const ShocketInfo& info);
    // The recorded owner pid; 0 when none or the record is missing or malformed.
    pid_t ownerPid() const;
    // The recorded fenix; FenixId() when none or the record is missing or malformed.
    FenixId fenix() const;
    // Records `pid` as the owner (writers only, under the record lock), keeping the rest. A
    // malformed record is left as it is, so that validate() still reports it.
    void ownerPidIs(pid_t pid);
    // Records `id` (writers only, under the record lock), keeping the rest; a malformed record is
    // left as it is.
    void fenixIs(FenixId id);

    const std::string& path() const { return path_; }
    bool local() const { return local_; }

  private:
    enum class State { missing, empty, malformed, valid };
    struct Snapshot {
        State state = State::missing;
        OwnerRecord record;
        std::string error;
        std::string leadingBytes;  // hex of the first bytes, for malformed records
    };

    Snapshot readSnapshot() const;
    static Snapshot decode(const unsigned char* bytes, std::size_t size, const std::string& path);
    void requireWriter(const char* operation) const;
    void unlockOne();
    int openAndLock();
    // Runs `change` on the stored record under the record lock and writes the result; `replace`
    // decides whether a malformed or empty record is replaced by a fresh one or left alone.
    template <class Change>
    void update(const char* operation, bool replace, Change change);
    void writeRecord(int fd, OwnerRecord record);

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string path_;
    bool writer_;
    bool local_;
    OwnerRecord memory_;  // the record of a local owner file
    int lockFd_ = -1;     // holds the record lock while lockDepth_ > 0 (closed in a forked child)
    int lockDepth_ = 0;
};

}  // namespace SharedMem
