#pragma once

// std::unordered_map in one process: the ceiling for a hash table nobody else can see. Its
// reader runs in the writer's process; its memory is the heap's bytes in use (mallinfo2).

#include <malloc.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "bench/compare/Peer.h"

namespace Compare {

template <class Rec>
class StdPeer : public Peer<Rec> {
  public:
    using Key = typename Rec::Key;
    using Value = typename Rec::Value;
    using Map = std::unordered_map<Key, Value>;

    std::string name() const override { return "std::unordered_map"; }
    bool shared() const override { return false; }

    void create(std::size_t /*capacity*/) override {
        map_ = std::make_unique<Map>();
        heapBefore_ = heapInUse();
    }
    void insert(const Key* keys, std::size_t count, std::uint64_t generation) override {
        for (std::size_t i = 0; i < count; ++i) {
            map_->insert_or_assign(keys[i], Rec::make(keys[i], generation));
        }
    }
    void update(const Key* keys, std::size_t count, std::uint64_t generation) override {
        for (std::size_t i = 0; i < count; ++i) {
            auto it = map_->find(keys[i]);
            if (it != map_->end()) it->second = Rec::make(keys[i], generation);
        }
    }
    void remove(const Key* keys, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) map_->erase(keys[i]);
    }
    std::uint64_t bytesInUse() override { return heapInUse() - heapBefore_; }
    void destroy() override { map_.reset(); }

    std::unique_ptr<TableReader<Rec>> openReader() override {
        return std::make_unique<Reader>(*map_);
    }

  private:
    static std::uint64_t heapInUse() { return mallinfo2().uordblks; }

    class Reader : public TableReader<Rec> {
      public:
        explicit Reader(const Map& map) : map_(map) {}
        std::uint64_t lookup(const Key* keys, std::size_t count) override {
            std::uint64_t found = 0;
            for (std::size_t i = 0; i < count; ++i) {
                auto it = map_.find(keys[i]);
                if (it != map_.end()) {
                    out_ = it->second;
                    ++found;
                }
            }
            return found;
        }
        std::uint64_t iterate() override {
            std::uint64_t visited = 0;
            for (const auto& entry : map_) {
                out_ = entry.second;
                ++visited;
            }
            return visited;
        }

      private:
        const Map& map_;
        Value out_;
    };

    std::unique_ptr<Map> map_;
    std::uint64_t heapBefore_ = 0;
};

}  // namespace Compare
