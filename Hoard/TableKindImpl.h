#pragma once

// The table kind of one table instantiation: Hoard::TableKind over the instantiation's Ops, with
// the same readers, writers, shadows, hash rule and validator as the code compiled against it,
// so a table opened through its kind is read, written and checked exactly as its owner does.
//
//     Hoard::tableKindIs(Hoard::tableKindOf<FlowTracking::IpFlowEntryOps>());
//
// The record type is the stored value's wrapped record (`Ops::Value::Value`) when the stored
// value is a bound collection's wrapper, else the stored value type; it and the key type carry
// their type records (`_kilnType`), and the record's name is the one the tables' headers hold.
//
// Thread safety: as Hoard::TableKind.

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "Hoard/HoardMap.h"
#include "Hoard/HoardReader.h"
#include "Hoard/HoardWriter.h"
#include "Hoard/Recovery.h"
#include "Hoard/SlotWriter.h"
#include "Hoard/TableKind.h"
#include "Hoard/Validator.h"
#include "Hoard/WriterHashMap.h"
#include "contracts/Basalt/Exception.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/WriterCounters.h"
#include "contracts/Mem/RootPath.h"
#include "contracts/Mem/SharedMemWrapper.h"

namespace Hoard {

namespace TableKindDetail {

template <class W>
struct RecordOf {
    using type = W;
};
template <class W>
requires requires { typename W::Value; }
struct RecordOf<W> {
    using type = typename W::Value;
};

// A change queue mapped read-only, in the shape the validator checks a queue through.
struct QueueView {
    static constexpr bool isDummy = false;
    bool validate(std::uint32_t fenix, std::uint32_t mostSlots, std::string& error) const {
        return reader.view().validate(fenix, mostSlots, error);
    }
    Herald::HeraldView view() const { return reader.view(); }
    const Herald::HeraldReader<std::uint32_t>& reader;
};

// The View operations over a table implementation (table()); records are copied between the
// caller's record storage and the stored value type through one buffer.
template <class Ops, class Base>
class ViewOf : public Base {
  public:
    using K = typename Ops::Key;
    using W = typename Ops::Value;
    using R = typename RecordOf<W>::type;
    using Table = HoardInterface<K, W, Ops>;

    bool lookup(const void* key, void* value) override {
        bool found = false;
        const W* stored = table().lookup(*static_cast<const K*>(key), found, &buffer_);
        if (found && value != nullptr) record(value) = *stored;
        return found;
    }
    bool first(void* value, IterHint& hint) override {
        if (!table().first(buffer_, hint)) return false;
        record(value) = buffer_;
        return true;
    }
    bool next(void* value, IterHint& hint) override {
        buffer_ = record(value);
        const K key = Ops::key(buffer_);
        if (!table().next(key, buffer_, hint)) return false;
        record(value) = buffer_;
        return true;
    }
    std::uint32_t members() const override { return table().members(); }
    std::uint32_t maxSize() const override { return table().maxSize(); }
    std::uint32_t capacity() const override { return table().capacity(); }

  protected:
    static R& record(void* value) { return *static_cast<R*>(value); }
    static const R& record(const void* value) { return *static_cast<const R*>(value); }

  private:
    virtual Table& table() const = 0;

    W buffer_{};
};

template <class Ops>
class ReaderOf final : public ViewOf<Ops, TableKind::Reader> {
  public:
    ReaderOf(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug, const std::string& name,
             bool markCorruption)
        : reader_(debug, name, Ops{}) {
        reader_.markCorruptionIs(markCorruption);
    }
    bool initialize(const std::string& event) { return reader_.initialize(event); }
    ScanResult scan(const std::function<void(const void* value)>& visit) override {
        using W = typename ReaderOf::W;
        using R = typename ReaderOf::R;
        return reader_.scan([&](const W& stored) {
            if constexpr (std::is_same_v<R, W>) {
                visit(&stored);
            } else {
                scanned_ = stored;  // the record out of the stored wrapper
                visit(&scanned_);
            }
        });
    }

  private:
    typename ReaderOf::Table& table() const override { return reader_; }

    mutable HoardReader<Ops> reader_;
    typename ReaderOf::R scanned_{};
};

template <class Ops>
class WriterOf final : public ViewOf<Ops, TableKind::Writer> {
  public:
    using typename ViewOf<Ops, TableKind::Writer>::K;
    using typename ViewOf<Ops, TableKind::Writer>::W;

    WriterOf(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug, const std::string& name,
             const MapDescriptor& descriptor, const std::string& classType,
             const std::string& event)
        : writer_(debug, name, descriptor, Ops{}, classType) {
        writer_.initialize(event);
    }

    void write(const void* value, bool overwrite) override {
        const W stored = this->record(value);
        writer_.write(stored, overwrite);
    }
    bool remove(const void* key, void* old) override {
        W gone{};
        if (!writer_.remove(*static_cast<const K*>(key), gone)) return false;
        if (old != nullptr) this->record(old) = gone;
        return true;
    }
    std::string hoardName() const override { return writer_.hoardName(); }
    std::uint32_t hashSeed() const override { return writer_.slotTable().header()->hashSeed; }
    std::vector<std::string> repairs() const override { return writer_.repairs(); }

  private:
    typename WriterOf::Table& table() const override { return writer_; }

    mutable HoardWriter<Ops> writer_;
};

template <class Ops>
class ShadowOf final : public ViewOf<Ops, TableKind::Shadow> {
  public:
    using typename ViewOf<Ops, TableKind::Shadow>::K;
    using typename ViewOf<Ops, TableKind::Shadow>::W;
    using Map = HoardMap<K, W, Ops>;

    ShadowOf(const std::string& name, TableKind::Shadow::Callbacks callbacks)
        : callbacks_(std::move(callbacks)), map_(name) {
        map_.callbacksIs(typename Map::Callbacks(
            nullptr,
            [this](const K& key) {
                if (callbacks_.keyChanged) callbacks_.keyChanged(&key);
            },
            nullptr,
            [this] {
                if (callbacks_.copyChanged) callbacks_.copyChanged();
            },
            nullptr));
    }

    void start() override {
        MapDescriptor d;
        d.mode = shadow;
        d.synchronous = false;  // the owner hears of no key before the first copy is whole
        map_.notifyingIs(true);
        map_.init(d);
    }

    int mountStatus() const override { return map_.mountStatus(); }
    void pollSentry() override { map_.readerSentry()->poll(); }

  private:
    // The facade's current implementation: the reader of the copy, or its placeholder.
    typename ShadowOf::Table& table() const override { return *map_.implementation(); }

    TableKind::Shadow::Callbacks callbacks_;
    Map map_;
};

}  // namespace TableKindDetail

template <class Ops>
class TableKindOf final : public TableKind {
  public:
    using K = typename Ops::Key;
    using W = typename Ops::Value;
    using R = typename TableKindDetail::RecordOf<W>::type;
    static_assert(sizeof(W) == sizeof(R), "a stored value holds exactly the record's bytes");

    TableKindOf() {
        BASALT_ASSERT(valueTypeName() == W::typeName &&
                      "a kind's record type carries the name its tables' headers hold");
    }

    const Kiln::KilnType& valueType() const override { return R::_kilnType; }
    const Kiln::KilnType& keyType() const override { return K::_kilnType; }
    Kiln::GenericValue::Layout valueLayout() const override { return {sizeof(R), alignof(R)}; }
    Kiln::GenericValue::Layout keyLayout() const override { return {sizeof(K), alignof(K)}; }
    void keyOf(const void* value, void* key) const override {
        const W stored = *static_cast<const R*>(value);
        *static_cast<K*>(key) = Ops::key(stored);
    }
    bool hasQueue() const override { return Ops::hasQueue; }
    std::uint32_t hash(const void* key, std::uint32_t seed) const override {
        Ops ops;
        ops.hashSeedIs(seed);
        return ops.hash(*static_cast<const K*>(key));
    }
    bool hashSeedZero() const override { return Ops::hashSeedZero; }

    std::unique_ptr<Reader> openReader(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                                       const std::string& name, bool markCorruption,
                                       const std::string& event) const override {
        auto reader = std::make_unique<TableKindDetail::ReaderOf<Ops>>(debug, name, markCorruption);
        if (!reader->initialize(event)) return nullptr;
        return reader;
    }
    std::unique_ptr<Writer> openWriter(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                                       const std::string& name, const MapDescriptor& descriptor,
                                       const std::string& classType,
                                       const std::string& event) const override {
        return std::make_unique<TableKindDetail::WriterOf<Ops>>(debug, name, descriptor, classType,
                                                                event);
    }
    std::unique_ptr<Shadow> openShadow(const std::string& name,
                                       Shadow::Callbacks callbacks) const override {
        if constexpr (Ops::hasQueue) {
            return std::make_unique<TableKindDetail::ShadowOf<Ops>>(name, std::move(callbacks));
        } else {
            return nullptr;
        }
    }

    Validation validate(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                        const std::string& name, std::uint32_t fenix) const override {
        Validation result;
        const Mem::RootPath root(debug, name);
        ::Hoard::Writer::Counters counters;
        Ops ops;
        // A view: the header's seed reaches the index's hash as it would a writer's.
        SlotWriterTable<W> slots(debug, root, W::typeName, "TableKind::validate", 0, false, true,
                                 counters, [&ops](std::uint32_t seed) { ops.hashSeedIs(seed); });
        BucketWriterTable buckets(debug, root);
        if (!attachViews(slots, buckets, fenix, Mem::SharedMemWrapper::Mode::readOnly,
                         result.error)) {
            return result;
        }
        WriterHashMap<Ops> index(debug, slots, buckets, ops, counters, true);
        index.attach();
        auto run = [&](const auto& queue) {
            Validator<Ops, std::remove_cvref_t<decltype(queue)>> validator(
                debug, root.hoardName(), slots, buckets, index, queue);
            result.valid = validator.validate(fenix);
            result.error = validator.error();
            result.records = validator.occupiedCount();
            result.freeSlots = validator.freeCount();
        };
        if constexpr (Ops::hasQueue) {
            Herald::HeraldReader<std::uint32_t> reader(debug, root);
            if (!reader.attach()) {
                result.error = "Herald::HeraldReader::attach() " + root.filePath("herald") + ": " +
                               reader.reason();
                return result;
            }
            run(TableKindDetail::QueueView{reader});
        } else {
            run(typename Ops::Herald(debug, root));
        }
        return result;
    }
    Validation trialRecovery(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                             const std::string& name, std::uint32_t fenix) const override;

  private:
    // Maps the slot and bucket files in `mode` (read-only, or private copies a trial may change)
    // and checks that the bucket file belongs to the writer `fenix`; false with `error` set.
    static bool attachViews(SlotWriterTable<W>& slots, BucketWriterTable& buckets,
                            std::uint32_t fenix, Mem::SharedMemWrapper::Mode mode,
                            std::string& error) {
        if (!slots.attachView(error, mode)) return false;
        if (!buckets.attachView(mode)) {
            error = "BucketWriter::attachView() " + buckets.path() + ": " + buckets.reason();
            return false;
        }
        if (buckets.fenix() != fenix) {
            error = "BucketTable::validate() bad fenix:" + std::to_string(buckets.fenix()) +
                    " wanted:" + std::to_string(fenix);
            return false;
        }
        return true;
    }
};

// ---- Trial recovery ----------------------------------------------------------------------------

template <class Ops>
TableKind::Validation TableKindOf<Ops>::trialRecovery(
    const std::shared_ptr<Basalt::Platform::DebugHandler>& debug, const std::string& name,
    std::uint32_t fenix) const {
    using Queue = typename Ops::Herald;
    constexpr auto copy = Mem::SharedMemWrapper::Mode::privateCopy;
    Validation result;
    const Mem::RootPath root(debug, name);
    ::Hoard::Writer::Counters counters;
    Ops ops;
    SlotWriterTable<W> slots(debug, root, W::typeName, "TableKind::trialRecovery", 0, false, true,
                             counters, [&ops](std::uint32_t seed) { ops.hashSeedIs(seed); });
    BucketWriterTable buckets(debug, root);
    if (!attachViews(slots, buckets, fenix, copy, result.error)) return result;
    WriterHashMap<Ops> index(debug, slots, buckets, ops, counters, true);
    index.attach();
    Queue queue(debug, root);
    if constexpr (Ops::hasQueue) {
        std::string why;
        if (!queue.attachCopy(fenix, why)) {
            result.error =
                "Herald::HeraldWriter::attachCopy() " + root.filePath("herald") + ": " + why;
            return result;
        }
    }
    Recovery<Ops, Queue> recovery(debug, root.hoardName(), slots, buckets, index, queue, counters);
    const bool recovered = recovery.run();
    result.repairs = recovery.repairs();
    if (!recovered) {
        result.error = recovery.error();
        return result;
    }
    Validator<Ops, Queue> validator(debug, root.hoardName(), slots, buckets, index, queue);
    result.valid = validator.validate(fenix);
    result.error = validator.error();
    result.records = validator.occupiedCount();
    result.freeSlots = validator.freeCount();
    return result;
}

// The one kind of the instantiation `Ops`.
template <class Ops>
const TableKind& tableKindOf() {
    static const TableKindOf<Ops> kind;
    return kind;
}

}  // namespace Hoard
