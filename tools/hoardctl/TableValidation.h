#pragma once

// Validation of a table through read-only mappings: the slot and bucket files mapped with
// attachView (PROT_READ; nothing created, formatted or written), the notification queue of a
// counter table through a Herald::HeraldReader, and Hoard::Validator over them. No lock is
// taken, so the answer is meaningful only while no writer changes the table (callers check the
// writer lock first, or hold it).
//
// Thread safety: one thread; the mappings live for one call.

#include <cstdint>
#include <memory>
#include <string>

#include "Hoard/SlotWriter.h"
#include "Hoard/Validator.h"
#include "Hoard/WriterHashMap.h"
#include "contracts/Herald/HeraldReader.h"
#include "contracts/HoardBase/BucketTable.h"
#include "contracts/HoardBase/WriterCounters.h"
#include "contracts/Mem/RootPath.h"

namespace Hoardctl {

struct ValidationResult {
    bool valid = false;
    std::string error;  // the first failure when not valid
    std::uint32_t records = 0;
    std::uint32_t freeSlots = 0;
};

// A queue mapped read-only, in the shape the validator checks a queue through.
struct QueueView {
    static constexpr bool isDummy = false;
    bool validate(std::uint32_t fenix, std::uint32_t mostSlots, std::string& error) const {
        return reader.view().validate(fenix, mostSlots, error);
    }
    Herald::HeraldView view() const { return reader.view(); }
    const Herald::HeraldReader<std::uint32_t>& reader;
};

// Validates table `name` of the kind `Ops` as the writer `fenix` left it (`fenix` is the fenix
// file's id: a writer adopts files only when they carry it).
template <class Ops>
ValidationResult validateReadOnly(const std::shared_ptr<Basalt::Platform::DebugHandler>& debug,
                                  const std::string& name, std::uint32_t fenix) {
    using V = typename Ops::Value;
    ValidationResult result;
    const Mem::RootPath root(debug, name);
    Hoard::Writer::Counters counters;
    Ops ops;
    Hoard::SlotWriterTable<V> slots(debug, root, V::typeName, "hoardctl", 0, false, true, counters,
                                    [&ops](std::uint32_t seed) { ops.hashSeedIs(seed); });
    Hoard::BucketWriterTable buckets(debug, root);
    if (!slots.attachView(result.error)) return result;
    if (!buckets.attachView()) {
        result.error = "BucketWriter::attachView() " + buckets.path() + ": " + buckets.reason();
        return result;
    }
    if (buckets.fenix() != fenix) {
        result.error = "BucketTable::validate() bad fenix:" + std::to_string(buckets.fenix()) +
                       " wanted:" + std::to_string(fenix);
        return result;
    }
    Hoard::WriterHashMap<Ops> index(debug, slots, buckets, ops, counters, true);
    index.attach();
    auto run = [&](const auto& queue) {
        Hoard::Validator<Ops, std::remove_cvref_t<decltype(queue)>> validator(
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
        run(QueueView{reader});
    } else {
        run(typename Ops::Herald(debug, root));
    }
    return result;
}

}  // namespace Hoardctl
