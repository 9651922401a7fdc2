#pragma once

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

#include "Hoard/HoardReader.h"
#include "Hoard/ShadowStore.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/HoardInterface.h"
#include "contracts/HoardBase/HoardShadowBase.h"
#include "contracts/HoardBase/HoardType.h"
#include "contracts/Loom/EventLoop.h"

namespace Hoard {

// What a shadow tells the facade that owns it. Each call is made on the owner's thread, from the
// shadow's own Loom task or doorbell (never from inside a facade call into the shadow, except
// shadowKey, which may also come from inside attach's synchronous first pass).
template <class K>
class ShadowOwner {
  public:
    virtual ~ShadowOwner() = default;
    // A key changed (written, rewritten or removed).
    virtual void shadowKey(const K& key) = 0;
    // The first synchronisation completed: the owner's key callbacks take over, the owner is
    // told of the change.
    virtual void shadowSynced() = 0;
    // Whether the shadow has applied everything the writer queued.
    virtual void shadowQuiesced(bool quiesced) = 0;
    // The flush after a detach completed: the owner drops the shadow and looks for a writer.
    virtual void shadowFlushComplete() = 0;
    // The writer's doorbell connection closed.
    virtual void shadowDisconnected() = 0;
    // Corruption met outside a flush.
    virtual void shadowCorruption(const std::string& message) = 0;
};

// A reader that keeps a local copy of a counter table and follows the writer's notification
// queue, so that its owner hears of every key that changed and keeps serving the copy for a
// while after the writer goes away (until the flush that follows the detach). Option bits: 1 key
// shadow (only keys are copied; values are read from the shared table), 2 handed to the base,
// 4 report every flushed key to the owner.
//
// Thread safety: the thread that initialised it (a thread serving a Loom loop: the Syncer's
// passes, the doorbell and the owner calls run there). Shared files are only read.
template <class Ops>
class HoardShadow : public HoardShadowBase,
                    public HoardInterface<typename Ops::Key, typename Ops::Value, Ops> {
  public:
    using K = typename Ops::Key;
    using V = typename Ops::Value;
    static constexpr unsigned keyShadowOption = 1;
    static constexpr unsigned baseOption = 2;
    static constexpr unsigned reportFlushedKeysOption = 4;

    HoardShadow(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const std::string& tableName,
                const Ops& ops, unsigned options, bool synchronous, ShadowOwner<K>* owner)
        : HoardShadowBase(debug, Mem::RootPath(debug, tableName, false), options),
          debug_(std::move(debug)),
          notifier_(Basalt::Platform::getDebugHandler("Hoard-DummyShadowNotifier")),
          reader_(debug_, tableName, ops, &readerCounters_),
          ops_(ops),
          synchronous_(synchronous),
          owner_(owner),
          alive_(std::make_shared<HoardShadow*>(this)) {}
    ~HoardShadow() override {
        *alive_ = nullptr;
        valueStore_.reset();
        keyStore_.reset();
    }

    bool initialize(const std::string& event) override;
    void detach(bool force) override;

    // Syncer::Client
    bool doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool compare) override;
    void doFlushSlot(std::uint32_t slotIndex) override {
        withStore([&](auto& s) { s.doFlushSlot(slotIndex); });
    }
    // Every shared slot, and every local one above a table that shrank: the notifications that
    // moved or removed those keys may precede the sequence a resync starts from, so only the
    // resync can drop (and report) them.
    std::uint32_t resyncSlots() override {
        return std::max(reader_.sharedSlots(), withStore([](auto& s) { return s.capacity(); }));
    }
    std::uint32_t flushSlots() override {
        return withStore([](auto& s) { return s.capacity(); });
    }
    void syncComplete() override;
    void flushComplete() override;
    void handleDisconnect() override;

    void handleQuiesced(bool q) {
        if (owner_) owner_->shadowQuiesced(q);
    }
    void corruptionDetected(const std::string& message) {
        if (flushing_) return;
        if (owner_) owner_->shadowCorruption(message);
    }

    // HoardInterface
    std::uint32_t members() const override {
        return withStore([](const auto& s) { return s.members(); });
    }
    std::uint32_t minSize() const override { return 0; }
    std::uint32_t maxSize() const override { return reader_.maxSize(); }
    std::uint32_t capacity() const override {
        return withStore([](const auto& s) { return s.capacity(); });
    }
    std::uint32_t localCapacity() const { return capacity(); }
    HoardType type() const override { return keyShadow() ? keyshadow : shadow; }
    bool quiesced() const override {
        return this->initialized() && synced_ &&
               const_cast<HoardShadow*>(this)->heraldReader().quiesced(shadowSequence());
    }
    bool connected() const override { return this->initialized() && kickConnected(); }
    Reader::Counters readerCounters() const override { return readerCounters_; }
    void notifyingIs(bool notifying) override {
        BASALT_TRACE(debug_, 5, "HoardShadow()::notifyingIs() notifying: " << notifying);
        HoardInterfaceBase::notifyingIs(notifying);
        syncer().notifyingIs(notifying);
    }
    void yieldTimeIs(double seconds) override {
        HoardInterfaceBase::yieldTimeIs(seconds);
        syncer().yieldTimeIs(seconds);
    }
    std::uint64_t sequence() const override { return shadowSequence(); }
    const RootPath& rootPath() const override { return reader_.rootPath(); }
    std::string hoardName() const override { return reader_.hoardName(); }
    int mountStatus() const override {
        const int status = flushing_ ? 3 : this->initialized() ? (synced_ ? 2 : 1) : 0;
        BASALT_TRACE(debug_, 5, "HoardShadow::mountStatus(): " << status);
        return status;
    }
    std::uint32_t fenixId() const override { return reader_.fenixId(); }
    void validateVersionAnchor() override { this->runVersionAnchorHook(); }
    const V* lookup(const K& key, bool& found, V* buffer) override {
        return withStore([&](auto& s) { return s.lookup(key, found, buffer); });
    }
    bool first(V& value, IterHint& hint) override {
        return withStore([&](auto& s) { return s.first(value, hint); });
    }
    bool next(const K& key, V& value, IterHint& hint) override {
        return withStore([&](auto& s) { return s.next(key, value, hint); });
    }
    bool synced() const { return synced_; }
    std::string dumpHeaders() const { return reader_.dumpHeaders(); }

  private:
    using ValueStore = ValueShadowStore<Ops>;
    using KeyStore = KeyShadowStore<Ops>;

    bool keyShadow() const { return (options() & keyShadowOption) != 0; }
    template <class F>
    auto withStore(F&& f) const {
        return const_cast<HoardShadow*>(this)->withStore(std::forward<F>(f));
    }
    template <class F>
    auto withStore(F&& f) -> decltype(f(std::declval<ValueStore&>())) {
        if (keyShadow()) {
            if (keyStore_) return f(*keyStore_);
        } else if (valueStore_) {
            return f(*valueStore_);
        }
        return emptyAnswer(f);
    }
    // What a store-less shadow answers: nothing there.
    template <class F>
    static auto emptyAnswer(F&) {
        using R = decltype(std::declval<F&>()(std::declval<ValueStore&>()));
        if constexpr (std::is_void_v<R>) {
            return;
        } else if constexpr (std::is_pointer_v<R>) {
            static const V none{};
            return static_cast<R>(&none);
        } else {
            return R{};
        }
    }
    // Runs `fn` on this thread's loop after the current call chain, if the shadow still lives:
    // the owner's reactions (dropping the shadow, re-attaching) must not run beneath a frame of
    // the shadow or its Syncer.
    template <class F>
    void later(F fn) {
        Loom::EventLoop* loop = syncer().task()->taskScheduler()->eventLoop();
        std::weak_ptr<HoardShadow*> alive = alive_;
        auto run = [alive, fn = std::move(fn)] {
            if (auto self = alive.lock(); self && *self) fn(**self);
        };
        if (loop) {
            loop->post(std::move(run));
        } else {
            run();
        }
    }

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::shared_ptr<Basalt::Platform::DebugHandler> notifier_;
    Reader::Counters readerCounters_;
    HoardReader<Ops> reader_;
    const Ops& ops_;
    std::unique_ptr<ValueStore> valueStore_;
    std::unique_ptr<KeyStore> keyStore_;
    const bool synchronous_;
    ShadowOwner<K>* owner_;
    bool synced_ = false;
    bool flushing_ = false;
    bool detaching_ = false;
    std::shared_ptr<HoardShadow*> alive_;
};

template <class Ops>
bool HoardShadow<Ops>::initialize(const std::string& event) {
    if (this->initialized()) return true;
    // A flush still running after the last detach ends before the copy is rebuilt: its slots
    // and the new ones must not mix.
    if (flushing_) syncer().finishNow();
    try {
        if (!reader_.initialize(event)) {
            BASALT_TRACE(debug_, 0, "HoardShadow::doInitialize() hoard.initialize() Failed");
            return false;
        }
        auto keyCallback = [this](const K& key) {
            if (owner_) owner_->shadowKey(key);
        };
        const auto header = static_cast<std::uint32_t>(sizeof(SlotTable::Header));
        const std::uint32_t slotSize = sizeof(typename SlotReaderTable<V>::Slot);
        const std::uint32_t page = 4096;
        const std::uint32_t baseCount = page > header ? (page - header) / slotSize : 0;
        const bool reportFlushed = (options() & reportFlushedKeysOption) != 0;
        bool ready = false;
        if (keyShadow()) {
            if (!keyStore_) {
                keyStore_ =
                    std::make_unique<KeyStore>(debug_, reader_, heraldReader(), ops_, keyCallback,
                                               reportFlushed, baseCount, reader_.hoardName());
            }
            ready = keyStore_->initialize();
        } else {
            if (!valueStore_) {
                valueStore_ =
                    std::make_unique<ValueStore>(debug_, reader_, heraldReader(), ops_, keyCallback,
                                                 reportFlushed, baseCount, reader_.hoardName());
            }
            ready = valueStore_->initialize();
        }
        if (!ready || !initializeHerald()) {
            reader_.detach(false);
            return false;
        }
    } catch (const Basalt::CorruptionDetectedException& e) {
        BASALT_TRACE(debug_, 0, "HoardShadow::initialize() corruption detected: " << e.what());
        corruptionDetected(e.what());
        reader_.detach(false);
        return false;
    }
    this->initializedIs(true);
    synced_ = false;
    syncer().yieldTimeIs(this->yieldTime());
    syncer().notifyingIs(this->notifying());
    syncer().start(Syncer::resync, !synchronous_);
    return true;
}

template <class Ops>
bool HoardShadow<Ops>::doSlot(std::uint32_t slotIndex, std::uint64_t sequence, bool compare) {
    std::uint64_t applied = shadowSequence();
    bool ok = true;
    try {
        ok = withStore([&](auto& s) { return s.doSlot(slotIndex, sequence, compare, applied); });
    } catch (const Basalt::CorruptionDetectedException& e) {
        corruptionDetected(e.what());
        ok = false;
    }
    shadowSequenceIs(applied);
    if (!ok) ++readerCounters_.retries;
    return ok;
}

template <class Ops>
void HoardShadow<Ops>::syncComplete() {
    shadowSequenceIs(syncer().sequence());
    BASALT_TRACE(debug_, 1,
                 "HoardShadow::syncComplete() Synchronization complete, seq:" << shadowSequence());
    if (!synced_) {
        synced_ = true;
        if (owner_) owner_->shadowSynced();
    }
    maybeEnableHerald();
    handleQuiesced(quiesced());
}

template <class Ops>
void HoardShadow<Ops>::detach(bool force) {
    if (!this->initialized()) {
        BASALT_TRACE(debug_, 5, "HoardShadow::detach() already detached");
        if (flushing_) {
            if (syncer().mode() != Syncer::flush) {
                Basalt::debugAndThrowAssertException(
                    "HoardShadow::detach() expected Syncer in flush mode during asynchronous "
                    "flush",
                    __FILE__, __LINE__, __func__);
            }
            if (!force) {
                Basalt::debugAndThrowAssertException(
                    "HoardShadow::detach() expected only forced detach during asynchronous flush",
                    __FILE__, __LINE__, __func__);
            }
            syncer().finishNow();
        }
        return;
    }
    detachHerald();
    reader_.detach(false);
    flushing_ = true;
    this->initializedIs(false);
    synced_ = false;
    detaching_ = true;
    syncer().start(Syncer::flush, !force);
    detaching_ = false;
    BASALT_TRACE(debug_, 2, "HoardShadow::detach() detached");
}

template <class Ops>
void HoardShadow<Ops>::flushComplete() {
    BASALT_TRACE(debug_, 1, "HoardShadow::flushComplete() Flush complete");
    withStore([](auto& s) { s.disable(); });
    flushing_ = false;
    if (this->initialized() || detaching_) return;
    // The owner drops this shadow and looks for the writer again: not beneath the Syncer.
    later([](HoardShadow& self) {
        if (!self.initialized() && !self.flushing_ && self.owner_)
            self.owner_->shadowFlushComplete();
    });
}

template <class Ops>
void HoardShadow<Ops>::handleDisconnect() {
    if (flushing_) return;
    BASALT_TRACE(debug_, 1, "HoardMap::handleDisconnect()");
    later([](HoardShadow& self) {
        if (!self.flushing_ && self.owner_) self.owner_->shadowDisconnected();
    });
}

}  // namespace Hoard
