#pragma once

// Table kinds: what generic code (tools, other libraries) needs to open, read, write, follow and
// validate a table whose record type it knows only by name. Each table instantiation registers
// one kind under its value type's name, the name its writers put in the `valueType` field of the
// slot file header, so a table found on disk leads to its kind: tableKind(header valueType).
//
// Values cross this interface as `void*` to storage holding a constructed value of the kind's
// record type (valueType(), e.g. FlowTracking::IpFlowEntry) and keys as storage holding a key of
// keyType(). newValue() and newKey() hand out such storage (a Kiln::GenericValue); the record
// types' generic tables print and parse them.
//
// Thread safety: a kind is immutable and may be used from any thread. The registry is guarded by
// a mutex and is usable from static initialisers (kinds register while the library loads). A
// reader, writer or shadow a kind opens belongs to one thread, like the table objects it wraps.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Hoard/ScanResult.h"
#include "contracts/Basalt/DebugHandler.h"
#include "contracts/HoardBase/IterHint.h"
#include "contracts/HoardBase/MapDescriptor.h"
#include "contracts/Kiln/GenericValue.h"
#include "contracts/Kiln/KilnType.h"

namespace Hoard {

class TableKind {
  public:
    // Lookups and iteration; `value` and `key` point to constructed records and keys of the
    // kind's types.
    class View {
      public:
        virtual ~View() = default;
        // True and the record with key `key` in `value` (when not null); false (value left as
        // it was) when the table holds none.
        virtual bool lookup(const void* key, void* value) = 0;
        // Iteration: first() puts the first record in `value`, next() the one after the record
        // in `value` (its key decides, so the caller passes back what it got); false, value
        // unchanged, at the end. Each key is returned at most once, in the table's order.
        virtual bool first(void* value, IterHint& hint) = 0;
        virtual bool next(void* value, IterHint& hint) = 0;
        virtual std::uint32_t members() const = 0;
        // The slots the table may grow to before it grows in steps, and the slots it has now.
        virtual std::uint32_t maxSize() const = 0;
        virtual std::uint32_t capacity() const = 0;
    };

    // The lock-free reader of a table (Hoard::HoardReader).
    class Reader : public View {
      public:
        // Hands every record to visit(value), in slot order; `value` points to a record of the
        // kind's type, valid during the call. A record present for the whole scan is handed out
        // at least once, more than once only when the result says mayRepeat (then callers that
        // need each key once drop the repeats).
        virtual ScanResult scan(const std::function<void(const void* value)>& visit) = 0;
    };

    // The table's single writer (Hoard::HoardWriter), holding the writer lock while it lives.
    class Writer : public View {
      public:
        // Stores the record at `value`; with `overwrite`, replaces the record with its key.
        virtual void write(const void* value, bool overwrite) = 0;
        // True, and the removed record in `old` when not null, when the table held `key`.
        virtual bool remove(const void* key, void* old) = 0;
        virtual std::string hoardName() const = 0;
        // The hash seed in the table's header: the seed of hash() for this table.
        virtual std::uint32_t hashSeed() const = 0;
        // What recovery repaired when the writer attached (empty when nothing).
        virtual std::vector<std::string> repairs() const = 0;
    };

    // A local copy of a table kept up to date from the writer's change queue and woken by its
    // doorbell (a Hoard::HoardMap in shadow mode, asynchronous): the copy follows a writer that
    // appears, restarts or goes, as its reader sentry finds when polled.
    class Shadow : public View {
      public:
        struct Callbacks {
            // A key whose record changed or went; inside the call, lookup() returns the copy's
            // latest record for it, or nothing when it is gone.
            std::function<void(const void* key)> keyChanged;
            // The copy was (re)synchronised or lost its writer; see mountStatus().
            std::function<void()> copyChanged;
        };
        // Starts following the table (the callbacks may run from here on); without a writer
        // the shadow waits for one.
        virtual void start() = 0;
        // 2 once the copy is whole, lower while it is not.
        virtual int mountStatus() const = 0;
        // Lets the reader sentry look for a writer that appeared, restarted or died.
        virtual void pollSentry() = 0;
    };

    // What validate() found.
    struct Validation {
        bool valid = false;
        std::string error;  // the first failure when not valid
        std::uint32_t records = 0;
        std::uint32_t freeSlots = 0;
        std::vector<std::string> repairs;  // trialRecovery(): what recovery repaired
    };

    TableKind() = default;
    TableKind(const TableKind&) = delete;
    TableKind& operator=(const TableKind&) = delete;
    virtual ~TableKind() = default;

    // The records' type and their key type; valueType().name() is the name the kind is
    // registered under and the tables' header valueType.
    virtual const Kiln::KilnType& valueType() const = 0;
    virtual const Kiln::KilnType& keyType() const = 0;
    std::string_view valueTypeName() const { return valueType().name(); }
    virtual Kiln::GenericValue::Layout valueLayout() const = 0;
    virtual Kiln::GenericValue::Layout keyLayout() const = 0;
    // A record (a copy of the one at `source`, or the default record) and a key.
    Kiln::GenericValue newValue(const void* source = nullptr) const {
        return Kiln::GenericValue(valueType(), valueLayout(), source);
    }
    Kiln::GenericValue newKey(const void* source = nullptr) const {
        return Kiln::GenericValue(keyType(), keyLayout(), source);
    }

    // Copies the key of the record at `value` into `key`.
    virtual void keyOf(const void* value, void* key) const = 0;
    // Whether the tables feed a change queue (only those can be followed by a shadow).
    virtual bool hasQueue() const = 0;
    // The hash by which a table of `seed` (its header's hashSeed) places `key`. Kinds whose keys
    // hash with seed 0 in every table ignore the seed (hashSeedZero()).
    virtual std::uint32_t hash(const void* key, std::uint32_t seed) const = 0;
    virtual bool hashSeedZero() const = 0;

    // A reader attached to table `name`; null when the table cannot be attached. With
    // `markCorruption` false a failed validation leaves no corruption marker behind, so the
    // reader writes nothing at all. `event` names the opener in the table's traces.
    virtual std::unique_ptr<Reader> openReader(
        const std::shared_ptr<Basalt::Platform::DebugHandler>& debug, const std::string& name,
        bool markCorruption, const std::string& event) const = 0;
    // The writer of table `name`, initialised (it takes the writer lock and adopts, creates or
    // re-formats the table as any writer does; callers that must not re-format check first).
    // `classType` goes into the header of a table it formats; `event` names the opener in the
    // table's traces.
    virtual std::unique_ptr<Writer> openWriter(
        const std::shared_ptr<Basalt::Platform::DebugHandler>& debug, const std::string& name,
        const MapDescriptor& descriptor, const std::string& classType,
        const std::string& event) const = 0;
    // A shadow of table `name`, not started yet; null for a kind without a change queue. The
    // thread must be bound to an event loop, where the shadow's tasks and doorbell land; the
    // callbacks run on that thread.
    virtual std::unique_ptr<Shadow> openShadow(const std::string& name,
                                               Shadow::Callbacks callbacks) const = 0;
    // Validates table `name` as the writer of fenix id `fenix` left it, through read-only
    // mappings of its files (and of its change queue): nothing is locked, created, formatted or
    // written, so the answer holds only while no writer changes the table (callers check the
    // writer lock first, or hold it).
    virtual Validation validate(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                                const std::string& name, std::uint32_t fenix) const = 0;
    // Runs the recovery a writer of fenix id `fenix` would run on attach (Hoard::Recovery) over
    // private copy-on-write mappings of the table's files, then the validator: valid when the
    // repaired copy passes, with the repairs made. No file changes. The same caveat as
    // validate(): no writer may change the table meanwhile.
    virtual Validation trialRecovery(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                                     const std::string& name, std::uint32_t fenix) const = 0;
};

// Registers `kind` under its value type's name. Registering the same kind again does nothing;
// another kind under a name already taken raises a Basalt assertion. The kind must outlive the
// registry (a static).
void tableKindIs(const TableKind& kind);
// The kind of the tables holding `valueTypeName` records; null when none is registered.
const TableKind* tableKind(std::string_view valueTypeName);
// Every registered kind, in registration order.
std::vector<const TableKind*> tableKinds();

}  // namespace Hoard
