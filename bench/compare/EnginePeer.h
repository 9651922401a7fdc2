#pragma once

// This engine as a user opens it: a HoardMap facade in writer mode in the writer process and a
// HoardMap facade in reader mode in each reader process, on a table root of its own under
// /dev/shm. The slot limit is the capacity rounded up to a power of two (2^20 for a million
// records); the table grows from 1,024 slots as records arrive and never shrinks, so a refill
// after removing everything writes into pages that are already touched.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FlowTracker/FlowTable.h"
#include "FlowTracker/FtCounters.h"
#include "Hoard/HoardMap.h"
#include "Hoard/HoardReader.h"
#include "bench/compare/Peer.h"
#include "bench/compare/Workload.h"

namespace Compare {

// The flow table (seed-0 hash, no queue) and the counter table (the header's hash seed, a real
// notification queue): the library's own instantiations.
using EngineFlowOps = FlowTracking::IpFlowEntryOps;
using EngineCounterOps = Hoard::FlowTracker::FlowGroupCounterEntryOps;

// Sum of the sizes of the regular files under `dir`: the shared memory a table maps.
inline std::uint64_t bytesOfFilesUnder(const std::string& dir) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
        if (e.is_regular_file(ec)) total += e.file_size(ec);
    }
    return total;
}

template <class Rec, class Ops>
class EnginePeer : public Peer<Rec> {
  public:
    using Key = typename Rec::Key;
    using Value = typename Ops::Value;  // the stored wrapper of Rec::Value
    using Map = Hoard::HoardMap<Key, Value, Ops>;

    explicit EnginePeer(std::string label) : label_(std::move(label)) {}
    ~EnginePeer() override { destroy(); }

    std::string name() const override { return label_; }

    void create(std::size_t capacity) override {
        destroy();
        root_ = freshDirectory("/dev/shm/flowtable-bench-");
        // Readers forked later inherit the root.
        ::setenv("HOARD_SHM_ROOT", root_.c_str(), 1);
        Hoard::MapDescriptor d;
        d.slotLimit = 1024;
        while (d.slotLimit < capacity) d.slotLimit *= 2;
        d.initialSize = 1024;
        d.shrinkable = false;
        d.shrinkBuckets = false;
        map_ = std::make_unique<Map>(tableName);
        map_->init(d);
    }

    void insert(const Key* keys, std::size_t count, std::uint64_t generation) override {
        for (std::size_t i = 0; i < count; ++i) map_->safeWrite(Rec::make(keys[i], generation));
    }
    void update(const Key* keys, std::size_t count, std::uint64_t generation) override {
        insert(keys, count, generation);
    }
    // The same updates through writeBatch, one call per batch the bench hands over.
    bool batchedUpdates() const override { return true; }
    void updateBatched(const Key* keys, std::size_t count, std::uint64_t generation) override {
        if (batch_.size() < count) batch_.resize(count);  // once: the bench's batch size
        for (std::size_t i = 0; i < count; ++i) batch_[i] = Rec::make(keys[i], generation);
        map_->safeWriteBatch(batch_.data(), count);
    }
    void remove(const Key* keys, std::size_t count) override {
        Value old;
        for (std::size_t i = 0; i < count; ++i) map_->safeRemove(keys[i], old);
    }
    std::uint64_t bytesInUse() override { return bytesOfFilesUnder(root_); }

    void destroy() override {
        map_.reset();
        if (!root_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
            root_.clear();
        }
    }

    std::unique_ptr<TableReader<Rec>> openReader() override { return std::make_unique<Reader>(); }

  private:
    static constexpr const char* tableName = "bench/table";

    // A reader-mode facade. Its sentry attaches at once to a live writer; should the writer not
    // be ready yet, it serves an empty placeholder, so opening waits (at most ten seconds) for
    // the attachment.
    class Reader : public TableReader<Rec> {
      public:
        Reader() : map_(tableName) {
            Hoard::MapDescriptor d;
            d.mode = Hoard::reader;
            map_.init(d);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!map_.readerFullyAttached()) {
                if (std::chrono::steady_clock::now() > deadline) {
                    throw std::runtime_error("the reader did not attach to the writer");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                map_.readerSentry()->poll();
            }
        }
        std::uint64_t lookup(const Key* keys, std::size_t count) override {
            std::uint64_t found = 0;
            for (std::size_t i = 0; i < count; ++i) {
                bool f = false;
                map_.safeLookup(keys[i], f, &out_);
                found += f;
            }
            return found;
        }
        // lookupBatch in groups of `group` keys, the values copied into a small buffer.
        bool batchedLookups() const override { return true; }
        std::uint64_t lookupBatched(const Key* keys, std::size_t count) override {
            std::uint64_t found = 0;
            for (std::size_t i = 0; i < count; i += group) {
                found += map_.safeLookupBatch(keys + i, std::min(group, count - i), outs_, founds_);
            }
            return found;
        }
        // The reader's slot-order scan.
        bool scans() const override { return true; }
        std::uint64_t scan() override {
            auto* reader = dynamic_cast<Hoard::HoardReader<Ops>*>(map_.implementation());
            if (reader == nullptr) throw std::runtime_error("the facade holds no live reader");
            const Hoard::ScanResult r = reader->scan([&](const Value& v) { out_ = v; });
            return r.mayRepeat ? 0 : r.records;  // a repeat would count wrong: none is expected
        }
        std::uint64_t iterate() override {
            auto* impl = map_.implementation();
            Hoard::IterHint hint;
            std::uint64_t visited = 0;
            for (bool more = impl->first(out_, hint); more;
                 more = impl->next(out_.key(), out_, hint)) {
                ++visited;
            }
            return visited;
        }

      private:
        static constexpr std::size_t group = 16;
        Map map_;
        Value out_;
        Value outs_[group];
        bool founds_[group] = {};
    };

    std::string label_;
    std::string root_;
    std::unique_ptr<Map> map_;
    std::vector<Value> batch_;
};

}  // namespace Compare
