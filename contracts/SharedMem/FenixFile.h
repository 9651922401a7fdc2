#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Mem/RootPath.h"

namespace SharedMem {

// The identity of one writer incarnation of a table: low 16 bits a process id, high 16 bits a
// sequence. 0 means "none yet". Text form: the value in decimal.
class FenixId {
  public:
    constexpr FenixId() = default;
    constexpr explicit FenixId(std::uint32_t value) : value_(value) {}
    static constexpr FenixId fromParts(std::uint16_t processId, std::uint16_t sequence) {
        return FenixId(std::uint32_t{processId} | (std::uint32_t{sequence} << 16));
    }

    constexpr std::uint32_t value() const { return value_; }
    constexpr std::uint16_t processPart() const { return static_cast<std::uint16_t>(value_); }
    constexpr std::uint16_t sequencePart() const {
        return static_cast<std::uint16_t>(value_ >> 16);
    }
    constexpr bool isNull() const { return value_ == 0; }
    std::string toString() const { return std::to_string(value_); }

    friend constexpr bool operator==(FenixId, FenixId) = default;
    friend std::ostream& operator<<(std::ostream& os, FenixId f) { return os << f.value_; }

  private:
    std::uint32_t value_ = 0;
};

static_assert(sizeof(FenixId) == 4, "a fenix id is stored as one u32 in table headers");

// The table's "fenix" file: the fenix id of the writer incarnation that last attached.
//
// Layout (kFileSize bytes, little-endian; one page, so a reader may map it whole):
//   +0  u32 magic  kMagic ("FENX")
//   +4  u32 fenix  the FenixId value
//   +8  ...        zero, reserved, up to kFileSize
// The fenix word is 4-aligned and is stored and loaded through a shared mapping as one atomic
// 32-bit access, so a concurrent reader sees the old or the new id, never a mix. The writer
// stores the fenix before the magic of a file whose magic is not yet set (release store; pairs
// with the magic's acquire load in read()), so a half-formatted file reads as "none".
//
// Thread safety: read(), validate() and mtime() may be called by any process at any time,
// concurrently with the writer's write(). Only the table's single writer (a RootPath with the
// writer flag) calls write(). An instance holds no descriptor between calls.
class FenixFile {
  public:
    static constexpr const char* kFileName = "fenix";
    static constexpr std::uint32_t kMagic = 0x584E4546;  // "FENX" in file byte order
    static constexpr std::size_t kMagicOffset = 0;
    static constexpr std::size_t kFenixOffset = 4;
    static constexpr std::size_t kFileSize = 4096;

    FenixFile(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const Mem::RootPath& rootPath);

    // The stored id; FenixId() (0) when the file is missing, shorter than kFileSize, not a regular
    // file, or does not start with kMagic. Never throws for a bad file.
    FenixId read() const;
    // Stores `id`, creating the file (0644) or extending it to kFileSize first, and sets the
    // file's modification time to now. Raises Basalt::NoPermissionException for a reader's root
    // path, Basalt::InvalidInitializeException when the file cannot be opened as a regular file,
    // Basalt::MemoryResourceException when its space cannot be allocated or it cannot be mapped.
    void write(FenixId id);
    // True when the stored id equals `wanted`.
    bool validate(FenixId wanted) const { return read() == wanted; }
    // The file's modification time in seconds since the epoch; 0 when the file is missing or not a
    // regular file.
    double mtime() const;

    const std::string& path() const { return path_; }

  private:
    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string path_;
    bool writer_;
};

static_assert(FenixFile::kFenixOffset % 4 == 0, "the fenix word is loaded as one aligned u32");
static_assert(FenixFile::kFenixOffset + 4 <= FenixFile::kFileSize, "the fenix word is in the file");

}  // namespace SharedMem
