#pragma once

// LMDB as its users run it for speed: MDB_WRITEMAP | MDB_NOSYNC, the key's 24 bytes as the LMDB
// key and the value's bytes as the data. `batch` is both the writer's operations per transaction
// (1: a transaction per write) and the reader's lookups per read transaction; the reader reuses
// its read transaction with mdb_txn_reset/mdb_txn_renew, LMDB's own fast path.

#include <lmdb.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/compare/Peer.h"
#include "bench/compare/Workload.h"

namespace Compare {

inline void lmdbCheck(int rc, const char* what) {
    if (rc != MDB_SUCCESS) throw std::runtime_error(std::string(what) + ": " + mdb_strerror(rc));
}

template <class Rec>
class LmdbPeer : public Peer<Rec> {
  public:
    using Key = typename Rec::Key;
    using Value = typename Rec::Value;

    explicit LmdbPeer(std::size_t batch) : batch_(batch) {}
    ~LmdbPeer() override { destroy(); }

    std::string name() const override {
        return batch_ == 1 ? "LMDB (txn/op)" : "LMDB (txn/" + std::to_string(batch_) + ")";
    }
    std::size_t writeBatch() const override { return batch_; }

    void create(std::size_t capacity) override {
        destroy();
        dir_ = freshDirectory("/dev/shm/flowtable-bench-lmdb-");
        env_ = openEnv(dir_, MDB_WRITEMAP | MDB_NOSYNC, capacity);
        MDB_txn* txn = nullptr;
        lmdbCheck(mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
        lmdbCheck(mdb_dbi_open(txn, nullptr, 0, &dbi_), "mdb_dbi_open");
        lmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
    }

    void insert(const Key* keys, std::size_t count, std::uint64_t generation) override {
        write(keys, count, [&](MDB_txn* txn, const Key& k) {
            const Value v = Rec::make(k, generation);
            MDB_val key{sizeof(Key), const_cast<Key*>(&k)};
            MDB_val data{sizeof(Value), const_cast<Value*>(&v)};
            lmdbCheck(mdb_put(txn, dbi_, &key, &data, 0), "mdb_put");
        });
    }
    void update(const Key* keys, std::size_t count, std::uint64_t generation) override {
        insert(keys, count, generation);
    }
    void remove(const Key* keys, std::size_t count) override {
        write(keys, count, [&](MDB_txn* txn, const Key& k) {
            MDB_val key{sizeof(Key), const_cast<Key*>(&k)};
            const int rc = mdb_del(txn, dbi_, &key, nullptr);
            if (rc != MDB_NOTFOUND) lmdbCheck(rc, "mdb_del");
        });
    }
    // The pages in use, up to the highest one written; the rest of the map is reserved address
    // space only.
    std::uint64_t bytesInUse() override {
        MDB_envinfo info;
        MDB_stat st;
        lmdbCheck(mdb_env_info(env_, &info), "mdb_env_info");
        lmdbCheck(mdb_env_stat(env_, &st), "mdb_env_stat");
        return (static_cast<std::uint64_t>(info.me_last_pgno) + 1) * st.ms_psize;
    }

    void destroy() override {
        if (env_ != nullptr) {
            mdb_env_close(env_);
            env_ = nullptr;
        }
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
            dir_.clear();
        }
    }

    std::unique_ptr<TableReader<Rec>> openReader() override {
        return std::make_unique<Reader>(dir_, batch_);
    }

  private:
    static MDB_env* openEnv(const std::string& dir, unsigned flags, std::size_t capacity) {
        MDB_env* env = nullptr;
        lmdbCheck(mdb_env_create(&env), "mdb_env_create");
        // Room for the records several times over: the B-tree, its free pages and old copies.
        // A reader (capacity 0) takes the size the writer recorded.
        if (capacity > 0) {
            lmdbCheck(mdb_env_set_mapsize(env, capacity * 1024 + (256u << 20)),
                      "mdb_env_set_mapsize");
        }
        lmdbCheck(mdb_env_set_maxreaders(env, 64), "mdb_env_set_maxreaders");
        lmdbCheck(mdb_env_open(env, dir.c_str(), flags, 0644), "mdb_env_open");
        return env;
    }

    template <class F>
    void write(const Key* keys, std::size_t count, F&& op) {
        for (std::size_t i = 0; i < count;) {
            MDB_txn* txn = nullptr;
            lmdbCheck(mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
            const std::size_t end = std::min(count, i + batch_);
            for (; i < end; ++i) op(txn, keys[i]);
            lmdbCheck(mdb_txn_commit(txn), "mdb_txn_commit");
        }
    }

    // Opens its own environment read-only (an LMDB environment must not cross a fork).
    class Reader : public TableReader<Rec> {
      public:
        Reader(const std::string& dir, std::size_t batch)
            : env_(openEnv(dir, MDB_RDONLY | MDB_NOTLS, 0)), batch_(batch) {
            lmdbCheck(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn_), "mdb_txn_begin");
            lmdbCheck(mdb_dbi_open(txn_, nullptr, 0, &dbi_), "mdb_dbi_open");
            mdb_txn_reset(txn_);
        }
        ~Reader() override {
            mdb_txn_abort(txn_);
            mdb_env_close(env_);
        }
        std::uint64_t lookup(const Key* keys, std::size_t count) override {
            std::uint64_t found = 0;
            for (std::size_t i = 0; i < count;) {
                lmdbCheck(mdb_txn_renew(txn_), "mdb_txn_renew");
                const std::size_t end = std::min(count, i + batch_);
                for (; i < end; ++i) {
                    MDB_val key{sizeof(Key), const_cast<Key*>(&keys[i])};
                    MDB_val data;
                    if (mdb_get(txn_, dbi_, &key, &data) == MDB_SUCCESS) {
                        std::memcpy(static_cast<void*>(&out_), data.mv_data, sizeof(Value));
                        ++found;
                    }
                }
                mdb_txn_reset(txn_);
            }
            return found;
        }
        // One cursor walk in one read transaction.
        std::uint64_t iterate() override {
            lmdbCheck(mdb_txn_renew(txn_), "mdb_txn_renew");
            MDB_cursor* cursor = nullptr;
            lmdbCheck(mdb_cursor_open(txn_, dbi_, &cursor), "mdb_cursor_open");
            std::uint64_t visited = 0;
            MDB_val key, data;
            for (int rc = mdb_cursor_get(cursor, &key, &data, MDB_FIRST); rc == MDB_SUCCESS;
                 rc = mdb_cursor_get(cursor, &key, &data, MDB_NEXT)) {
                std::memcpy(static_cast<void*>(&out_), data.mv_data, sizeof(Value));
                ++visited;
            }
            mdb_cursor_close(cursor);
            mdb_txn_reset(txn_);
            return visited;
        }

      private:
        MDB_env* env_;
        std::size_t batch_;
        MDB_txn* txn_ = nullptr;
        MDB_dbi dbi_ = 0;
        Value out_;
    };

    std::size_t batch_;
    std::string dir_;
    MDB_env* env_ = nullptr;
    MDB_dbi dbi_ = 0;
};

}  // namespace Compare
