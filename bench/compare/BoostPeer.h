#pragma once

// Boost.Interprocess as its users share a hash map between processes: a boost::unordered_map in
// a managed_shared_memory segment, guarded by an interprocess_sharable_mutex in the same
// segment. The writer holds the mutex exclusively for each write; a reader holds it shared for
// each lookup and for a whole iteration.

#include <unistd.h>

#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/sync/interprocess_sharable_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/interprocess/sync/sharable_lock.hpp>
#include <boost/unordered_map.hpp>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/compare/Peer.h"

namespace Compare {

namespace bip = boost::interprocess;

template <class Rec>
class BoostPeer : public Peer<Rec> {
  public:
    using Key = typename Rec::Key;
    using Value = typename Rec::Value;

    BoostPeer() : segmentName_("flowtable-bench-boost-" + std::to_string(::getpid())) {}
    ~BoostPeer() override { destroy(); }

    std::string name() const override { return "Boost.Interprocess"; }

    void create(std::size_t capacity) override {
        destroy();
        bip::shared_memory_object::remove(segmentName_.c_str());
        // Node (record, link, cached hash), allocator header and buckets, with room to spare;
        // pages are touched only as the allocator hands them out.
        segment_ = std::make_unique<Segment>(bip::create_only, segmentName_.c_str(),
                                             capacity * 320 + (32u << 20));
        mutex_ = segment_->construct<Mutex>("lock")();
        map_ = segment_->construct<Map>("map")(0, KeyHash(), std::equal_to<Key>(),
                                               segment_->get_segment_manager());
    }

    void insert(const Key* keys, std::size_t count, std::uint64_t generation) override {
        for (std::size_t i = 0; i < count; ++i) {
            const Value v = Rec::make(keys[i], generation);
            bip::scoped_lock<Mutex> lock(*mutex_);
            map_->insert_or_assign(keys[i], v);
        }
    }
    void update(const Key* keys, std::size_t count, std::uint64_t generation) override {
        for (std::size_t i = 0; i < count; ++i) {
            const Value v = Rec::make(keys[i], generation);
            bip::scoped_lock<Mutex> lock(*mutex_);
            auto it = map_->find(keys[i]);
            if (it != map_->end()) it->second = v;
        }
    }
    void remove(const Key* keys, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            bip::scoped_lock<Mutex> lock(*mutex_);
            map_->erase(keys[i]);
        }
    }
    // The segment's bytes the allocator has handed out.
    std::uint64_t bytesInUse() override {
        return segment_->get_size() - segment_->get_free_memory();
    }

    void destroy() override {
        if (segment_) {
            segment_->destroy<Map>("map");
            segment_->destroy<Mutex>("lock");
            segment_.reset();
            map_ = nullptr;
            mutex_ = nullptr;
        }
        bip::shared_memory_object::remove(segmentName_.c_str());
    }

    std::unique_ptr<TableReader<Rec>> openReader() override {
        return std::make_unique<Reader>(segmentName_);
    }

  private:
    using Segment = bip::managed_shared_memory;
    using Mutex = bip::interprocess_sharable_mutex;
    struct KeyHash {
        std::size_t operator()(const Key& k) const { return k.hash(0); }
    };
    using Alloc = bip::allocator<std::pair<const Key, Value>, Segment::segment_manager>;
    using Map = boost::unordered_map<Key, Value, KeyHash, std::equal_to<Key>, Alloc>;

    // Opens the segment by name in the reader's process.
    class Reader : public TableReader<Rec> {
      public:
        explicit Reader(const std::string& name)
            : segment_(bip::open_only, name.c_str()),
              mutex_(segment_.find<Mutex>("lock").first),
              map_(segment_.find<Map>("map").first) {
            if (mutex_ == nullptr || map_ == nullptr) {
                throw std::runtime_error("Boost segment " + name + " has no map");
            }
        }
        std::uint64_t lookup(const Key* keys, std::size_t count) override {
            std::uint64_t found = 0;
            for (std::size_t i = 0; i < count; ++i) {
                bip::sharable_lock<Mutex> lock(*mutex_);
                auto it = map_->find(keys[i]);
                if (it != map_->end()) {
                    out_ = it->second;
                    ++found;
                }
            }
            return found;
        }
        std::uint64_t iterate() override {
            bip::sharable_lock<Mutex> lock(*mutex_);
            std::uint64_t visited = 0;
            for (const auto& entry : *map_) {
                out_ = entry.second;
                ++visited;
            }
            return visited;
        }

      private:
        Segment segment_;
        Mutex* mutex_;
        Map* map_;
        Value out_;
    };

    std::string segmentName_;
    std::unique_ptr<Segment> segment_;
    Mutex* mutex_ = nullptr;
    Map* map_ = nullptr;
};

}  // namespace Compare
