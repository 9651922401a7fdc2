#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Mem/RootPath.h"

namespace Mem {

// The writer's mounter: publishes a table its writer has attached to. start(reason) asks the
// table's facade (the notifiee) for its fenix id, records it and marks the table published and
// attached; readers find the table through its files (Mem::ReaderSentry), so publication needs
// nothing written. recordPurge() counts the times the table's readers were purged.
//
// Thread safety: one thread (the table owner's) uses a sentry; the notifiee is called on it.
class WriterSentry {
  public:
    // What the writer's sentry needs of the table it publishes (the facade implements it).
    class Notifiee {
      public:
        virtual ~Notifiee() = default;
        // The fenix id of the attached writer incarnation; 0 when none.
        virtual std::uint32_t fenixId() const = 0;
        // The table's structures are consistent.
        virtual bool validate() = 0;
        // The table's files are present and well formed; `name` and `count` identify the caller.
        virtual bool validateFiles(const std::string& name, std::uint32_t count) = 0;
    };

    // `notifiee` must outlive the sentry.
    WriterSentry(std::shared_ptr<Basalt::Platform::DebugHandler> debug, Notifiee* notifiee,
                 const RootPath& rootPath);
    WriterSentry(const WriterSentry&) = delete;
    WriterSentry& operator=(const WriterSentry&) = delete;

    // Publishes the table: records the notifiee's fenix id, marks it published and attached.
    // Calling it again re-publishes (the fenix may have changed after a re-format).
    void start(const std::string& reason);
    // Counts a purge of the table's readers.
    void recordPurge() { ++purges_; }

    bool published() const { return published_; }
    std::uint32_t publishedFenix() const { return fenix_; }
    unsigned starts() const { return starts_; }
    unsigned purges() const { return purges_; }
    bool attached() const { return attached_; }
    void attachedIs(bool attached) { attached_ = attached; }
    const RootPath& rootPath() const { return rootPath_; }

  private:
    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    Notifiee* notifiee_;
    RootPath rootPath_;
    std::uint32_t fenix_ = 0;
    unsigned starts_ = 0;
    unsigned purges_ = 0;
    bool published_ = false;
    bool attached_ = false;
};

}  // namespace Mem
