#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/HoardType.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/HoardBase/ReaderCounters.h"
#include "contracts/HoardBase/WriterCounters.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/VersionAnchor.h"

namespace Hoard {

// The part of a table implementation's interface that does not depend on the key and value
// types, with the defaults a reader or placeholder implementation inherits. Its virtual
// operations are the facade's interface slots 2..27, in that order (slots 0 and 1 are the
// destructor); HoardInterface adds slots 28..38.
//
// Thread safety: one thread (the table owner's) uses an implementation.
class HoardInterfaceBase {
  public:
    HoardInterfaceBase() = default;
    HoardInterfaceBase(const HoardInterfaceBase&) = delete;
    HoardInterfaceBase& operator=(const HoardInterfaceBase&) = delete;
    virtual ~HoardInterfaceBase() = default;

    // Whether the implementation is attached to its table (set by its initialize/attach, cleared
    // by detach).
    bool initialized() const { return initialized_; }
    void initializedIs(bool initialized) { initialized_ = initialized; }

    virtual bool initialize(const std::string& event) = 0;                                 // 2
    virtual void detach(bool force) = 0;                                                   // 3
    virtual bool validate() { return true; }                                               // 4
    virtual bool validateFiles() { return true; }                                          // 5
    virtual void cleanup() {}                                                              // 6
    virtual std::uint32_t members() const = 0;                                             // 7
    virtual std::uint32_t minSize() const = 0;                                             // 8
    virtual std::uint32_t maxSize() const = 0;                                             // 9
    virtual std::uint32_t capacity() const = 0;                                            // 10
    virtual HoardType type() const = 0;                                                    // 11
    virtual bool quiesced() const { return true; }                                         // 12
    virtual bool connected() const { return false; }                                       // 13
    virtual Writer::Counters writerCounters() const { return {}; }                         // 14
    virtual Reader::Counters readerCounters() const { return {}; }                         // 15
    virtual void notifyingIs(bool notifying) { notifying_ = notifying; }                   // 16
    virtual void yieldTimeIs(double seconds) { yieldTime_ = seconds; }                     // 17
    virtual void sampleIs(unsigned sample) { sample_ = sample; }                           // 18
    virtual std::uint64_t sequence() const { return 0; }                                   // 19
    virtual bool clientQuiesced(const std::string& /*readerName*/) const { return true; }  // 20
    virtual const RootPath& rootPath() const = 0;                                          // 21
    virtual std::string hoardName() const = 0;                                             // 22
    virtual int mountStatus() const = 0;                                                   // 23
    virtual std::uint32_t fenixId() const { return 0; }                                    // 24
    virtual void validateVersionAnchor() = 0;                                              // 25
    // 26: an optional function that validateVersionAnchor() calls before its check.
    virtual void validateVersionAnchorHookIs(std::function<void()> hook) {
        versionAnchorHook_ = std::move(hook);
    }
    virtual Mem::CacheVersionAnchor getCacheVersionAnchor() const { return {}; }  // 27

    // The values last given to notifyingIs, yieldTimeIs and sampleIs (false, 0.05 s and 8 until
    // then, the facade's own starting values).
    bool notifying() const { return notifying_; }
    double yieldTime() const { return yieldTime_; }
    unsigned sample() const { return sample_; }
    const std::function<void()>& versionAnchorHook() const { return versionAnchorHook_; }

  protected:
    // Calls the version-anchor hook when one is set; for validateVersionAnchor() overrides.
    void runVersionAnchorHook() const {
        if (versionAnchorHook_) versionAnchorHook_();
    }

  private:
    bool initialized_ = false;
    bool notifying_ = false;
    double yieldTime_ = 0.05;
    unsigned sample_ = 8;
    std::function<void()> versionAnchorHook_;
};

// The abstract table behind the facade (Hoard::HoardMap): the writer, the readers and the
// placeholders implement it. The record operations default to a read-only table: writes and
// removals throw Basalt::NoPermissionException.
template <class K, class V, class Ops>
class HoardInterface : public HoardInterfaceBase {
  public:
    using Key = K;
    using Value = V;
    using OpsType = Ops;

    // 28
    virtual const V* write(const V& /*value*/, bool /*overwrite*/) { readOnly("write"); }
    // 29
    virtual bool remove(const K& /*key*/, V& /*value*/) { readOnly("remove"); }
    // 30: the stored value (or a copy in `buffer`) and found = true, else the default value.
    virtual const V* lookup(const K& key, bool& found, V* buffer) = 0;
    virtual bool first(V& value, IterHint& hint) = 0;                 // 31
    virtual bool next(const K& key, V& value, IterHint& hint) = 0;    // 32
    virtual V* directWrite(const K& /*key*/) { readOnly("write"); }   // 33
    virtual V* directUpdate(const K& /*key*/) { readOnly("write"); }  // 34
    virtual void directCommit() { readOnly("write"); }                // 35
    // 36
    virtual const V* directLookup(const K& key, bool& found, V* buffer) {
        return lookup(key, found, buffer);
    }
    // 37: looks up keys[0..count): out[i] receives a copy of key i's record and found[i] true,
    // or the default value and false; returns how many were found. Each key's answer is one
    // lookup() could have given, and the version anchor afterwards is that of the last key
    // found (cleared when none was). `keys` may overlap `out`. This default asks lookup() key
    // by key; the writer and the reader override it with a faster walk.
    virtual std::size_t lookupBatch(const K* keys, std::size_t count, V* out, bool* found) {
        std::size_t hits = 0;
        std::size_t lastHit = count;
        for (std::size_t i = 0; i < count; ++i) {
            bool f = false;
            const K key = keys[i];
            lookup(key, f, &out[i]);
            found[i] = f;
            if (f) {
                ++hits;
                lastHit = i;
            }
        }
        // A miss after the last hit cleared the anchor: the last hit's key is asked again so
        // the anchor names it (a record removed meanwhile leaves it cleared).
        if (lastHit + 1 < count) {
            bool f = false;
            V scratch = out[lastHit];
            lookup(Ops::key(out[lastHit]), f, &scratch);
        }
        return hits;
    }
    // 38: writes (and overwrites) values[0..count) in order, as write(value, true) would each.
    virtual void writeBatch(const V* /*values*/, std::size_t /*count*/) { readOnly("write"); }

  private:
    [[noreturn]] static void readOnly(const char* operation) {
        Basalt::NoPermissionException::throwException(std::string(operation) +
                                                      " to read-only Hoard table");
    }
};

}  // namespace Hoard
