#pragma once

// The one interface the comparison drives every system through. A Peer lives in the writer
// process: it creates the table, writes to it and measures its size. A TableReader lives in a
// reader process (another process for every shared table; the same process for the in-process
// map) and only reads. Operations come in batches so that each system can group them as its
// users would (LMDB commits a transaction per batch) and no virtual call sits on a single
// operation's path.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Compare {

template <class Rec>
class TableReader {
  public:
    using Key = typename Rec::Key;
    virtual ~TableReader() = default;
    // Looks up keys[0 .. count), copying each value found out of the table; returns how many
    // were found.
    virtual std::uint64_t lookup(const Key* keys, std::size_t count) = 0;
    // Visits every record once, copying it out; returns how many it visited.
    virtual std::uint64_t iterate() = 0;
    // A system with a batched lookup (true from batchedLookups()) looks up keys[0 .. count)
    // through it, in groups of its choosing, copying each value found; returns how many were
    // found. The others have no natural equivalent and are not asked.
    virtual bool batchedLookups() const { return false; }
    virtual std::uint64_t lookupBatched(const Key* /*keys*/, std::size_t /*count*/) { return 0; }
    // A system with a walk in storage order other than its iteration (true from scans()) visits
    // every record through it, copying it out; returns how many it visited.
    virtual bool scans() const { return false; }
    virtual std::uint64_t scan() { return 0; }
};

template <class Rec>
class Peer {
  public:
    using Key = typename Rec::Key;
    virtual ~Peer() = default;

    virtual std::string name() const = 0;
    // False for a table that only its own process can read: its reader is measured in the
    // writer's process and never against a busy writer.
    virtual bool shared() const { return true; }
    // A new, empty table on fresh files, sized for up to `capacity` records.
    virtual void create(std::size_t capacity) = 0;
    // Each writes Rec::make(key, generation) for, or removes, keys[0 .. count) as one batch.
    virtual void insert(const Key* keys, std::size_t count, std::uint64_t generation) = 0;
    virtual void update(const Key* keys, std::size_t count, std::uint64_t generation) = 0;
    virtual void remove(const Key* keys, std::size_t count) = 0;
    // The memory the table holds for its records now: shared memory for the shared tables.
    virtual std::uint64_t bytesInUse() = 0;
    // Releases the table and removes its files.
    virtual void destroy() = 0;
    // Opens the table for reading; called in the reader's process after the table is filled.
    virtual std::unique_ptr<TableReader<Rec>> openReader() = 0;
    // How many operations a write batch holds (1 for a transaction per write).
    virtual std::size_t writeBatch() const { return 1000; }
    // A system with a batched write call (true from batchedUpdates()) updates keys[0 .. count)
    // with it, as update() does record by record.
    virtual bool batchedUpdates() const { return false; }
    virtual void updateBatched(const Key* /*keys*/, std::size_t /*count*/,
                               std::uint64_t /*generation*/) {}
};

}  // namespace Compare
