#pragma once

// The table facade: the one handle through which a collection uses a shared-memory table. It
// owns exactly one implementation behind Hoard::HoardInterface and replaces it as the table moves
// through its life: a HoardWriter in writer (or local) mode; in the reader modes a HoardDummy
// until the reader sentry finds the writer, then a live HoardReader, and a HoardDummy again
// (holding the detached reader, so earlier results stay valid) when the writer goes away.
// HoardStrictDummy stands in for an orphaned collection, where any access is a fault.
//
// Thread safety: one thread (the table owner's) uses a facade, its implementations and its
// mounter; the sentry's callbacks (attach, detach) arrive on that thread. Cross-process safety
// is the implementations' business (HoardWriter, HoardReader).

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "Hoard/HoardReader.h"
#include "Hoard/HoardShadow.h"
#include "Hoard/HoardWriter.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/HoardBase/HoardInterface.h"
#include "contracts/HoardBase/HoardMapBase.h"
#include "contracts/HoardBase/MapDescriptor.h"
#include "contracts/Mem/CollectionDescriptor.h"
#include "contracts/Mem/Notify.h"
#include "contracts/Mem/ReaderSentry.h"
#include "contracts/Mem/WriterLock.h"
#include "contracts/Mem/WriterSentry.h"
#include "contracts/SharedMem/OwnerFile.h"

namespace Hoard {

namespace HoardMapDetail {
[[noreturn]] inline void raiseAssertion(const std::string& text, const char* file, int line,
                                        const char* function) {
    Basalt::debugAndThrowAssertException(text.c_str(), file, line, function);
}
}  // namespace HoardMapDetail

#define HOARD_MAP_ASSERT_TEXT(text) \
    ::Hoard::HoardMapDetail::raiseAssertion((text), __FILE__, __LINE__, __func__)

// The placeholder a reader-mode facade serves while it is not attached: an empty table whose
// every answer succeeds (lookups miss, iteration ends at once, writes throw as on any reader).
// It holds the implementation it replaced, so that values obtained from that one stay valid
// until this placeholder is itself replaced or destroyed.
template <class K, class V, class Ops>
class HoardDummy : public HoardInterface<K, V, Ops> {
  public:
    using Interface = HoardInterface<K, V, Ops>;

    HoardDummy(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const std::string& name,
               const Ops& ops, std::unique_ptr<Interface> held = nullptr)
        : debug_(std::move(debug)),
          name_(name),
          rootPath_(debug_, name),
          ops_(ops),
          held_(std::move(held)) {}

    void holdIs(std::unique_ptr<Interface> held) { held_ = std::move(held); }
    Interface* held() const { return held_.get(); }

    bool initialize(const std::string& event) override {
        BASALT_TRACE(debug_, 5, "HoardDummy::initialize() " << name_ << " event:" << event);
        return true;
    }
    void detach(bool /*force*/) override { trace("detach"); }
    bool validate() override {
        trace("validate");
        return true;
    }
    bool validateFiles() override {
        trace("validateFiles");
        return true;
    }
    void cleanup() override {
        trace("cleanup");
        if (held_) held_->cleanup();
    }
    std::uint32_t members() const override { return trace("members"), 0; }
    std::uint32_t minSize() const override { return trace("minSize"), 0; }
    std::uint32_t maxSize() const override { return trace("maxSize"), 0; }
    std::uint32_t capacity() const override { return trace("capacity"), 0; }
    HoardType type() const override { return trace("type"), reader; }
    int mountStatus() const override { return trace("mountStatus"), 0; }
    Reader::Counters readerCounters() const override {
        return trace("readerCounters"), Reader::Counters{};
    }
    const RootPath& rootPath() const override { return rootPath_; }
    std::string hoardName() const override { return name_; }
    void validateVersionAnchor() override {
        trace("validateVersionAnchor");
        HOARD_MAP_ASSERT_TEXT(
            "HoardDummy::validateVersionAnchor() should never be called since it's impossible "
            "for a lookup to succeed");
    }
    const V* lookup(const K& /*key*/, bool& found, V* buffer) override {
        trace("lookup");
        found = false;
        if (buffer != nullptr) *buffer = defaultValue_;
        return &defaultValue_;
    }
    bool first(V& value, IterHint& /*hint*/) override {
        trace("first");
        value = defaultValue_;
        return false;
    }
    bool next(const K& /*key*/, V& value, IterHint& /*hint*/) override {
        trace("next");
        value = defaultValue_;
        return false;
    }

  protected:
    void trace(const char* operation) const {
        BASALT_TRACE(debug_, 5, "HoardDummy::" << operation << "() " << name_);
    }

    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string name_;
    RootPath rootPath_;
    Ops ops_;
    V defaultValue_{};
    std::unique_ptr<Interface> held_;
};

// The placeholder of an orphaned collection whose owner asked to be told of any use: every data
// access raises an assertion ending in `suffix`. detach, validate, validateFiles and cleanup
// behave as in HoardDummy; the mount status is 0.
template <class K, class V, class Ops>
class HoardStrictDummy : public HoardDummy<K, V, Ops> {
  public:
    using Base = HoardDummy<K, V, Ops>;
    using typename Base::Interface;
    static constexpr const char* suffix =
        ". If you're seeing this, you're trying to operate on an orphan hoard entity";

    using Base::Base;

  protected:
    // Raises the assertion; typed so that each override can return its (never produced) result.
    template <class R>
    R invoked(const char* operation, const K* key = nullptr) const {
        std::ostringstream os;
        os << "HoardStrictDummy::" << operation << "() invoked, name:" << this->name_
           << " rootpath:" << this->rootPath_;
        if (key != nullptr) os << " key:" << *key;
        os << suffix;
        HOARD_MAP_ASSERT_TEXT(os.str());
    }

  public:
    bool initialize(const std::string& event) override {
        std::ostringstream os;
        os << "HoardStrictDummy::initialize() " << this->name_ << " rootPath:" << this->rootPath_
           << " event:" << event << suffix;
        HOARD_MAP_ASSERT_TEXT(os.str());
    }
    HoardType type() const override { return invoked<HoardType>("type"); }
    std::uint32_t capacity() const override { return invoked<std::uint32_t>("capacity"); }
    std::uint32_t maxSize() const override { return invoked<std::uint32_t>("maxSize"); }
    std::uint32_t minSize() const override { return invoked<std::uint32_t>("minSize"); }
    std::uint32_t members() const override { return invoked<std::uint32_t>("members"); }
    void validateVersionAnchor() override { invoked<void>("validateVersionAnchor"); }
    bool first(V& /*value*/, IterHint& /*hint*/) override { return invoked<bool>("first"); }
    bool next(const K& key, V& /*value*/, IterHint& /*hint*/) override {
        return invoked<bool>("next", &key);
    }
    const V* lookup(const K& key, bool& /*found*/, V* /*buffer*/) override {
        return invoked<const V*>("lookup", &key);
    }
    Reader::Counters readerCounters() const override {
        return invoked<Reader::Counters>("readerCounters");
    }
    int mountStatus() const override { return 0; }
};

// The table facade. See the top of this file.
template <class K, class V, class Ops>
class HoardMap : public HoardMapBase, public Mem::WriterSentry::Notifiee, public ShadowOwner<K> {
  public:
    static_assert(std::is_same_v<typename Ops::Key, K> && std::is_same_v<typename Ops::Value, V>,
                  "the facade's key and value types are those its Ops operate on");

    using Interface = HoardInterface<K, V, Ops>;
    using WriterImpl = HoardWriter<Ops>;
    using ReaderImpl = HoardReader<Ops>;
    using ShadowImpl = HoardShadow<Ops>;
    using Dummy = HoardDummy<K, V, Ops>;
    using StrictDummy = HoardStrictDummy<K, V, Ops>;

    // The callbacks the binding installs (each defaults to doing nothing); asynchronous shadow
    // mode suppresses the value and key callbacks at init.
    using Callbacks = Mem::Notify<K, V>;

    // Not initialized, no implementation, no mounter; keyNotifications set, yield time 0.05 s,
    // sample 8. The debug handler is the one named after the table.
    explicit HoardMap(std::string name, const Ops& ops = Ops())
        : HoardMapBase(Basalt::Platform::getDebugHandler(name)),
          name_(std::move(name)),
          ops_(ops) {}

    ~HoardMap() override {
        BASALT_TRACE(debug_, 2, "HoardMap::~HoardMap() deleting state");
        impl_.reset();
        readerSentry_.reset();
        writerSentry_.reset();
    }

    // ---- Version anchors -----------------------------------------------------------------------
    void validateVersionAnchor() override { impl_->validateVersionAnchor(); }
    Mem::CacheVersionAnchor getCacheVersionAnchor() const override {
        return impl_->getCacheVersionAnchor();
    }
    bool compareVersionAnchor(const Mem::CacheVersionAnchor& anchor) const override {
        // The epoch too: after a shrink and a regrowth a slot's status restarts, so equal halves
        // alone may describe another value (see Mem::VersionAnchor).
        return getCacheVersionAnchor() == anchor;
    }
    void validateVersionAnchorHookIs(std::function<void()> hook) override {
        impl_->validateVersionAnchorHookIs(std::move(hook));
    }

    // ---- Life cycle ----------------------------------------------------------------------------
    using HoardMapBase::init;
    void init(const Mem::CollectionDescriptor& descriptor) override;
    void cleanup() override {
        traceForward("cleanup");
        impl_->cleanup();
    }
    void cleanupAndDetach() override {
        traceForward("cleanupAndDetach");
        if (!initialized()) {
            HOARD_MAP_ASSERT_TEXT("HoardMap::cleanupAndDetach() " + rootPathText() +
                                  " trying to cleanup uninitialized hoard.");
        }
        cleanup();
        controlDetach();
    }
    void controlDetach() override {
        detach(true);
        readerSentry_.reset();
        writerSentry_.reset();
        initializedIs(false);
    }
    void attach(const std::string& event) override;
    void detach(bool force) override;
    void tryAttach() override;
    // Makes a placeholder current, holding the current implementation: a HoardStrictDummy when
    // the collection is an orphan, else a HoardDummy. Destroys nothing.
    void installDummy();
    // Replaces the implementation with a process-local writer of this table (initial size 100),
    // initialized with the event "none": the binding's private table until the collection is
    // mounted. The new writer is ready before the old implementation goes, so a failure leaves
    // the current one in place.
    void createDefaultLocalWriter(std::shared_ptr<Basalt::Platform::DebugHandler> debug);

    // ---- What a shadow tells its facade -------------------------------------------------------
    void shadowKey(const K& key) override { callbacks_.key(key); }
    void shadowSynced() override {
        // Asynchronous mode kept the owner's key callbacks parked until the copy was whole.
        callbacks_.restoreKeyNotifications();
        callChange();
    }
    void shadowQuiesced(bool quiesced) override { callAttachState(quiesced); }
    void shadowFlushComplete() override {
        installDummy();
        if (readerSentry_) readerSentry_->attachedIs(false);
        mounterStart("HoardMap::flushComplete()");
        callChange();
    }
    void shadowDisconnected() override {
        if (mode() != shadow && mode() != keyshadow) {
            HOARD_MAP_ASSERT_TEXT("HoardMap::handleDisconnect() wrong type:" + modeStr());
        }
        mounterStart("HoardMap::handleDisconnect()");
        // The doorbell closed: look at the writer now (dead, restarted or still there) rather
        // than at the owner's next poll.
        if (readerSentry_) readerSentry_->poll();
    }
    void shadowCorruption(const std::string& message) override { doCorruptionDetected(message); }

    // ---- Questions -----------------------------------------------------------------------------
    std::string name() const override { return impl_->hoardName(); }
    Reader::Counters readerCounters() const override {
        return hoardMapUpdateReaderCounters(impl_->readerCounters());
    }
    Writer::Counters writerCounters() const override {
        return hoardMapUpdateWriterCounters(impl_->writerCounters());
    }
    const RootPath& rootPath() const override { return impl_->rootPath(); }
    bool validate() override {
        traceForward("validate");
        return impl_->validate();
    }
    bool validateFiles(const std::string& /*name*/, std::uint32_t /*count*/) override {
        traceForward("validateFiles");
        return impl_->validateFiles();
    }
    int mountStatus() const override {
        traceForward("mountStatus");
        return impl_ ? impl_->mountStatus() : 0;
    }
    std::uint64_t sequence() const override {
        traceForward("sequence");
        return impl_->sequence();
    }
    std::uint32_t fenixId() const override { return impl_ ? impl_->fenixId() : 0; }
    std::string owner() const override;
    std::uint32_t maxSize() const override { return impl_->maxSize(); }
    std::uint32_t capacity() const override { return impl_->capacity(); }
    bool clientQuiesced(const std::string& readerName) const override {
        BASALT_TRACE(
            debug_, 5,
            "HoardMap::clientQuiesced() " << rootPathText() << " readerName:" << readerName);
        return impl_->clientQuiesced(readerName);
    }
    bool quiesced() const override {
        BASALT_TRACE(
            debug_, 5,
            "HoardMap::quiesced() " << rootPathText() << " type:" << hoardTypeText(impl_->type()));
        return impl_->quiesced();
    }
    bool connected() const override { return impl_->connected(); }
    std::string classType() const override { return "Hoard::HoardMap"; }

    // ---- Settings ------------------------------------------------------------------------------
    void notifyingIs(bool notifying) override;
    bool notifying() const override { return notifying_; }
    void yieldTimeIs(double seconds) override {
        BASALT_TRACE(debug_, 5,
                     "HoardMap::yieldTimeIs() " << rootPathText() << " yieldTime:" << seconds);
        yieldTime_ = seconds;
        if (impl_) impl_->yieldTimeIs(seconds);
    }
    void sampleIs(unsigned sample) override {
        BASALT_TRACE(debug_, 5, "HoardMap::sampleIs() " << rootPathText() << " sample:" << sample);
        sample_ = sample;
        if (impl_) impl_->sampleIs(sample);
    }
    double yieldTime() const { return yieldTime_; }
    unsigned sample() const { return sample_; }
    bool keyNotifications() const { return callbacks_.keyNotifications(); }
    // Marks the collection an orphan whose later use is a fault (its owner's assertOnOrphanAccess).
    void orphanIs(bool orphan) { orphan_ = orphan; }
    bool orphan() const { return orphan_; }
    const Callbacks& callbacks() const { return callbacks_; }
    void callbacksIs(Callbacks callbacks) { callbacks_ = std::move(callbacks); }
    const MapDescriptor& descriptor() const { return descriptor_; }
    const std::string& tableName() const { return name_; }
    void tableNameIs(const std::string& name) { name_ = name; }
    const V& defaultValue() const { return defaultValue_; }

    // ---- Records -------------------------------------------------------------------------------
    // Each passes corruption to doCorruptionDetected(); safeLookup then returns the default value,
    // the others raise an assertion (the corruption handler is not expected to return to them).
    const V* safeWrite(const V& value);
    bool safeRemove(const K& key, V& value);
    const V* safeLookup(const K& key, bool& found, V* hint);
    // lookupBatch() and writeBatch() of the current implementation (see HoardInterface); after
    // corruption safeLookupBatch reports every key not found.
    std::size_t safeLookupBatch(const K* keys, std::size_t count, V* out, bool* found);
    void safeWriteBatch(const V* values, std::size_t count);
    void directCommit();

    // The current implementation (null before the first init); the binding iterates through it.
    Interface* implementation() const { return impl_.get(); }
    Mem::ReaderSentry* readerSentry() const { return readerSentry_.get(); }
    Mem::WriterSentry* writerSentry() const { return writerSentry_.get(); }

  protected:
    bool hasImplementation() const override { return impl_ != nullptr; }
    void recoverFromCorruption() override;

  private:
    static bool isPlaceholder(const Interface* impl) {
        return dynamic_cast<const Dummy*>(impl) != nullptr;
    }
    std::string rootPathText() const {
        if (!impl_) return name_;
        std::ostringstream os;
        os << impl_->rootPath();
        return os.str();
    }
    void traceForward(const char* operation) const {
        BASALT_TRACE(debug_, 5, "HoardMap::" << operation << "() " << rootPathText());
    }
    bool mounterExists() const { return readerSentry_ || writerSentry_; }
    void mounterStart(const std::string& reason) {
        if (readerSentry_) readerSentry_->start(reason);
        if (writerSentry_) writerSentry_->start(reason);
    }
    void callAttachState(bool attached) { callbacks_.attachState(attached); }
    void callChange() { callbacks_.change(); }
    // The writer's quiesce reports reach the callbacks current at the time of the report.
    std::function<void(bool)> attachStateForwarder() {
        return [this](bool attached) { callAttachState(attached); };
    }
    // Folds a live implementation's counters into the facade's totals before it stops being
    // current.
    void retire(const Interface& impl) {
        if (isPlaceholder(&impl)) return;
        hoardMapRetireReaderCounters(impl.readerCounters());
        hoardMapRetireWriterCounters(impl.writerCounters());
    }
    // After corruption in writer mode: detach and re-attach the writer (its validation re-formats
    // a damaged table), then re-publish.
    void reattachWriterIfNeeded();

    std::unique_ptr<Mem::WriterSentry> writerSentry_;  // the mounter in writer mode
    std::unique_ptr<Mem::ReaderSentry> readerSentry_;  // the mounter in the reader modes
    std::uint32_t initialSize_ = 0;
    MapDescriptor descriptor_;
    std::string name_;
    bool notifying_ = false;
    Callbacks callbacks_;
    Ops ops_;
    double yieldTime_ = 0.05;
    unsigned sample_ = 8;
    V defaultValue_{};
    std::unique_ptr<Interface> impl_;
    bool orphan_ = false;
    bool writerReattachPending_ = false;
};

// ---- Life cycle --------------------------------------------------------------------------------

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::init(const Mem::CollectionDescriptor& collection) {
    if (orphan_) {
        HOARD_MAP_ASSERT_TEXT(
            "Re-initializing a collection that has already become an orphan and has "
            "assertOnOrphanAccess set");
    }
    if (collection.mapDescriptor() == nullptr) {
        HOARD_MAP_ASSERT_TEXT("HoardMap::init() name:" + name_ +
                              " the descriptor is not a Hoard::MapDescriptor");
    }
    // A copy: the caller's descriptor may be this facade's own.
    const MapDescriptor d = *collection.mapDescriptor();
    if (d.cleanFirst && impl_) impl_->cleanup();
    if (initialized()) {
        if (d == descriptor_) {
            BASALT_TRACE(debug_, 1,
                         "HoardMap::init() name:" << name_ << " already initialized, new " << d);
            return;
        }
        std::ostringstream os;
        os << "HoardMap::init() name:" << name_ << " already initialized, old " << descriptor_
           << ", new " << d;
        Basalt::InvalidInitializeException::throwException(os.str());
    }
    BASALT_TRACE(debug_, 1, "HoardMap::init() name:" << name_ << " " << d);
    if (d.useHeap && !d.local) {
        Basalt::InvalidInitializeException::throwException(
            "HoardMap::init() cannot initialize collection " + name_ +
            " heap allocation in non-local mode not allowed");
    }
    if (d.mode == writer && d.initialSize == 0) {
        Basalt::InvalidInitializeException::throwException(
            "HoardMap::init() 0 is not a valid initialization size for collection " + name_ +
            " in writer mode");
    }
    const bool shadowMode = d.mode == shadow || d.mode == keyshadow;
    if (shadowMode && !d.local && !d.synchronous) {
        callbacks_.suppressKeyNotifications();
        if (!notifying_) {
            HOARD_MAP_ASSERT_TEXT(
                "HoardMap::init() notifications unexpectedly disabled prior  to initialization "
                "with asynchronous mode");
        }
    }
    if constexpr (!Ops::hasQueue) {
        if (shadowMode && !d.local) {
            Basalt::InvalidInitializeException::throwException(
                "HoardMap::init() cannot initialize collection " + name_ +
                " with DummyHeraldWriter not supported in " + hoardTypeText(d.mode) + " mode");
        }
    }

    if (impl_) {
        retire(*impl_);
        impl_.reset();
    }
    modeIs(d.mode);
    initialSize_ = d.initialSize;
    localIs(d.local);
    descriptor_ = d;
    debug_ = Basalt::Platform::getDebugHandler(name_);

    if (mounterExists()) HOARD_MAP_ASSERT_TEXT("Hoard mounter should not exist");
    if (d.local || d.mode == writer) {
        auto writerImpl = std::make_unique<WriterImpl>(debug_, name_, d, ops_, classType(),
                                                       attachStateForwarder());
        WriterImpl* w = writerImpl.get();
        impl_ = std::move(writerImpl);
        if (!w->initialize("none")) {
            Basalt::InvalidInitializeException::throwException(
                "HoardMap::init() failed to initialize collection " + name_);
        }
        if (!d.local) {
            writerSentry_ = std::make_unique<Mem::WriterSentry>(
                debug_, static_cast<Mem::WriterSentry::Notifiee*>(this), w->rootPath());
            writerSentry_->start("HoardMap::init()");
        }
    } else {
        if (d.mode != shadow && d.mode != reader && d.mode != keyshadow) {
            HOARD_MAP_ASSERT_TEXT("HoardMap::init() not a valid reader type:" +
                                  std::to_string(static_cast<std::uint32_t>(d.mode)));
        }
        try {
            impl_ = std::make_unique<Dummy>(debug_, name_, ops_);
            readerSentry_ = std::make_unique<Mem::ReaderSentry>(
                debug_, static_cast<Mem::ReaderSentry::Notifiee*>(this), impl_->rootPath());
            readerSentry_->start("HoardMap::init()");
        } catch (const Basalt::InvalidInitializeException&) {
            if (std::getenv("Z9_CHROOT") == nullptr) throw;
        }
    }
    if (impl_) impl_->sampleIs(sample_);
    initializedIs(true);
    if (d.mode == writer) {
        callAttachState(true);
        callChange();
    }
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::detach(bool force) {
    BASALT_TRACE(debug_, 1, "HoardMap::detach() " << rootPathText());
    if (impl_) {
        impl_->detach(force);
        if (impl_->mountStatus() == 3 && mounterExists()) {
            // A shadow still flushing stays current; the sentry re-attaches it.
            if (readerSentry_) readerSentry_->attachedIs(false);
            if (writerSentry_) writerSentry_->attachedIs(false);
        } else {
            installDummy();
        }
    }
    callAttachState(false);
    callChange();
    if (readerSentry_) readerSentry_->recordPurge();
    if (writerSentry_) writerSentry_->recordPurge();
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::installDummy() {
    std::unique_ptr<Dummy> dummy = orphan_ ? std::make_unique<StrictDummy>(debug_, name_, ops_)
                                           : std::make_unique<Dummy>(debug_, name_, ops_);
    if (impl_) retire(*impl_);
    dummy->holdIs(std::move(impl_));
    impl_ = std::move(dummy);
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::createDefaultLocalWriter(
    std::shared_ptr<Basalt::Platform::DebugHandler> debug) {
    MapDescriptor d;
    d.local = true;
    d.initialSize = 100;
    auto writerImpl = std::make_unique<WriterImpl>(std::move(debug), name_, d, ops_, classType(),
                                                   attachStateForwarder());
    if (!writerImpl->initialize("none")) {
        Basalt::InvalidInitializeException::throwException(
            "HoardMap::createDefaultLocalWriter() failed to initialize collection " + name_);
    }
    if (impl_) retire(*impl_);
    impl_ = std::move(writerImpl);
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::attach(const std::string& event) {
    if (mode() == writer) HOARD_MAP_ASSERT_TEXT("HoardMap::attach() invoked for a writer");
    std::unique_ptr<Interface> previous;
    if (mode() == reader) {
        previous = std::move(impl_);
        impl_ = std::make_unique<ReaderImpl>(debug_, name_, ops_);
    } else if (impl_ && (impl_->type() == shadow || impl_->type() == keyshadow)) {
        // A shadow (still flushing, say) is initialised again in place.
        previous = std::make_unique<Dummy>(debug_, name_, ops_);
    } else {
        if constexpr (!Ops::hasQueue) {
            HOARD_MAP_ASSERT_TEXT("HoardMap::attach() no notification queue for " + modeStr());
        } else {
            const unsigned options =
                (mode() == keyshadow ? ShadowImpl::keyShadowOption : 0u) |
                (descriptor_.shadowBaseOption ? ShadowImpl::baseOption : 0u) |
                (descriptor_.reportFlushedKeys ? ShadowImpl::reportFlushedKeysOption : 0u);
            previous = std::move(impl_);
            impl_ =
                std::make_unique<ShadowImpl>(debug_, name_, ops_, options, descriptor_.synchronous,
                                             static_cast<ShadowOwner<K>*>(this));
        }
    }
    BASALT_TRACE(
        debug_, 2,
        "HoardMap::attach() attempting to attach " << impl_->rootPath() << " as " << modeStr());
    impl_->yieldTimeIs(yieldTime_);
    impl_->sampleIs(sample_);
    impl_->notifyingIs(notifying_);
    bool attached = false;
    try {
        attached = impl_->initialize(event);
    } catch (const Basalt::CorruptionDetectedException& e) {
        BASALT_TRACE(debug_, 1, "HoardMap::attach() " << rootPathText() << " " << e.what());
    } catch (const Basalt::MemoryResourceException& e) {
        BASALT_TRACE(debug_, 1, "HoardMap::attach() " << rootPathText() << " " << e.what());
    } catch (const Basalt::InvalidInitializeException& e) {
        BASALT_TRACE(debug_, 1, "HoardMap::attach() " << rootPathText() << " " << e.what());
    }
    if (attached) {
        BASALT_TRACE(debug_, 2, "HoardMap::attach() successful");
        if (previous) retire(*previous);
        previous.reset();
        if (impl_->type() == reader) callAttachState(true);
        callChange();
        return;
    }
    BASALT_TRACE(debug_, 1, "HoardMap::attach() initialize failed for " << impl_->rootPath());
    if (impl_->mountStatus() == 3) {
        BASALT_TRACE(debug_, 0,
                     "HoardMap::attach() not deleting Hoard, waiting for flush to complete");
        previous.reset();
    } else {
        impl_ = std::move(previous);
    }
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::tryAttach() {
    BASALT_TRACE(debug_, 5, "HoardMap::tryAttach() " << rootPathText());
    if (!mounterExists() || mode() == writer || !readerSentry_) return;
    const int before = impl_->mountStatus();
    if (before != 0) {
        BASALT_TRACE(debug_, 5,
                     "HoardMap::tryAttach() " << impl_->rootPath()
                                              << " is already mounted, mountStatus:" << before);
        return;
    }
    readerSentry_->start("tryAttach");
    const int after = impl_->mountStatus();
    if (after != 0) {
        std::ostringstream os;
        os << "CANARY: mounted " << impl_->rootPath() << " mountStatus:" << after;
        const std::string text = os.str();
        systemLog(text);
        BASALT_TRACE(debug_, 1, "HoardMap::tryAttach() " << text);
    }
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::notifyingIs(bool notifying) {
    BASALT_TRACE(debug_, 5,
                 "HoardMap::notifyingIs() " << rootPathText() << " notifying:" << notifying);
    if (initialized() && !keyNotifications()) {
        std::ostringstream os;
        os << "HoardMap::notifyingIs() not allowed at this time, initialized:" << initialized()
           << " keyNotifications:" << keyNotifications();
        HOARD_MAP_ASSERT_TEXT(os.str());
    }
    notifying_ = notifying;
    if (impl_) impl_->notifyingIs(notifying);
    if (notifying && mounterExists()) mounterStart("Notifications enabled");
}

template <class K, class V, class Ops>
std::string HoardMap<K, V, Ops>::owner() const {
    try {
        const RootPath& root = impl_->rootPath();
        SharedMem::OwnerFile ownerFile(debug_, root, localMem());
        const SharedMem::ShocketInfo info = ownerFile.shocketInfo();
        std::string ownerName;
        const bool alive = Mem::WriterLock::ownerIsAlive(root, &ownerName);
        std::uint32_t number = 0;
        if (alive) {
            SharedMem::ShocketName socket;
            if (socket.ShocketNameIs(info.socketName())) number = socket.number();
        }
        return ownerName + ":" + std::to_string(number);
    } catch (const Basalt::CorruptionDetectedException& e) {
        BASALT_TRACE(debug_, 1, "HoardMap::owner() corruption detected: " << e.what());
        return "";
    }
}

// ---- Corruption recovery -----------------------------------------------------------------------

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::recoverFromCorruption() {
    if (!impl_ || isPlaceholder(impl_.get()) || !initialized()) return;
    if (mode() == writer || localMem()) {
        writerReattachPending_ = true;
        return;
    }
    // A reader falls back to its placeholder (holding the damaged reader, so values handed out
    // stay valid); its sentry's next poll re-attaches.
    detach(false);
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::reattachWriterIfNeeded() {
    if (!writerReattachPending_) return;
    writerReattachPending_ = false;
    if (!impl_ || isPlaceholder(impl_.get())) return;
    BASALT_TRACE(debug_, 1, "HoardMap::reattachWriter() " << rootPathText());
    retire(*impl_);  // the writer's counters restart at its attach
    impl_->detach(false);
    if (!impl_->initialize("HoardMap corruption recovery")) {
        Basalt::InvalidInitializeException::throwException(
            "HoardMap::init() failed to initialize collection " + name_);
    }
    if (writerSentry_) writerSentry_->start("HoardMap corruption recovery");
}

// ---- Records -----------------------------------------------------------------------------------

template <class K, class V, class Ops>
const V* HoardMap<K, V, Ops>::safeWrite(const V& value) {
    reattachWriterIfNeeded();
    try {
        return impl_->write(value, true);
    } catch (const Basalt::CorruptionDetectedException& e) {
        doCorruptionDetected(e.what());
    }
    HOARD_MAP_ASSERT_TEXT("HoardMap::safeWrite() in no man's land");
}

template <class K, class V, class Ops>
bool HoardMap<K, V, Ops>::safeRemove(const K& key, V& value) {
    reattachWriterIfNeeded();
    try {
        return impl_->remove(key, value);
    } catch (const Basalt::CorruptionDetectedException& e) {
        doCorruptionDetected(e.what());
    }
    HOARD_MAP_ASSERT_TEXT("HoardMap::safeRemove() in no man's land");
}

template <class K, class V, class Ops>
const V* HoardMap<K, V, Ops>::safeLookup(const K& key, bool& found, V* hint) {
    reattachWriterIfNeeded();
    try {
        return impl_->lookup(key, found, hint);
    } catch (const Basalt::CorruptionDetectedException& e) {
        doCorruptionDetected(e.what());
    }
    found = false;
    return &defaultValue_;
}

template <class K, class V, class Ops>
std::size_t HoardMap<K, V, Ops>::safeLookupBatch(const K* keys, std::size_t count, V* out,
                                                 bool* found) {
    reattachWriterIfNeeded();
    try {
        return impl_->lookupBatch(keys, count, out, found);
    } catch (const Basalt::CorruptionDetectedException& e) {
        doCorruptionDetected(e.what());
    }
    for (std::size_t i = 0; i < count; ++i) {
        found[i] = false;
        out[i] = defaultValue_;
    }
    return 0;
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::safeWriteBatch(const V* values, std::size_t count) {
    reattachWriterIfNeeded();
    try {
        impl_->writeBatch(values, count);
        return;
    } catch (const Basalt::CorruptionDetectedException& e) {
        doCorruptionDetected(e.what());
    }
    HOARD_MAP_ASSERT_TEXT("HoardMap::safeWriteBatch() in no man's land");
}

template <class K, class V, class Ops>
void HoardMap<K, V, Ops>::directCommit() {
    reattachWriterIfNeeded();
    try {
        impl_->directCommit();
        return;
    } catch (const Basalt::CorruptionDetectedException& e) {
        doCorruptionDetected(e.what());
    }
    HOARD_MAP_ASSERT_TEXT("HoardMap::directCommit() in no man's land");
}

}  // namespace Hoard

#undef HOARD_MAP_ASSERT_TEXT
