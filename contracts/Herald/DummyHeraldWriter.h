#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "contracts/Basalt/DebugHandler.h"
#include "contracts/Herald/HeraldView.h"
#include "contracts/HoardBase/HeraldPos.h"
#include "contracts/Mem/RootPath.h"

namespace Herald {

// The no-op twin of HeraldWriter, for tables that nobody follows through a notification queue:
// it takes the same calls and does nothing. No file is created or touched; attach() returns 0
// (neither new, adopted nor re-formatted, so it is neutral when or-ed into attach results);
// tombstones are accepted; the queue is always quiesced, never shrinking; type() is 0.
//
// Thread safety: stateless; any thread may call anything.
class DummyHeraldWriter {
  public:
    static constexpr bool isDummy = true;

    DummyHeraldWriter(std::shared_ptr<Basalt::Platform::DebugHandler> /*debug*/,
                      const Mem::RootPath& /*rootPath*/,
                      std::uint32_t /*ringSize*/ = HeraldView::defaultRingSize,
                      std::string /*fileName*/ = HeraldView::defaultFileName) {}

    int attach(std::uint32_t /*fenix*/) { return 0; }
    bool attached() const { return false; }
    void notify(std::uint32_t /*slot*/) {}
    bool tombstone(std::uint32_t /*slot*/) { return true; }
    void pendingIs(std::uint64_t /*word*/) {}
    std::uint64_t pending() const { return 0; }
    void renew() {}
    void markShrinkStart() {}
    void markShrinkEnd() {}
    bool shrinkInProgress() const { return false; }
    std::uint32_t shrinkStarts() const { return 0; }
    std::uint32_t shrinkEnds() const { return 0; }
    void slotCapacityIs(std::uint32_t /*slots*/) {}
    std::uint32_t slotCapacity() const { return 0; }
    std::uint32_t ringSize() const { return 0; }
    Hoard::HeraldPos sequence() const { return 0; }
    std::uint32_t fenix() const { return 0; }
    int type() const { return 0; }
    bool validate(std::uint32_t /*fenix*/, std::uint32_t /*mostSlots*/,
                  std::string& /*error*/) const {
        return true;
    }
    bool validateFile() const { return true; }
    // An unusable view: the table validator skips its queue checks.
    HeraldView view() const { return HeraldView(); }
    std::string headerToString() const { return "DummyHeraldWriter"; }
    void clientProgressIs(const std::string& /*name*/, Hoard::HeraldPos /*applied*/) {}
    void clientRemoved(const std::string& /*name*/) {}
    std::size_t clients() const { return 0; }
    bool quiesced() const { return true; }
    bool clientQuiesced(const std::string& /*name*/) const { return true; }
    void releaseGraceIs(double /*seconds*/) {}
    bool releaseTail() { return false; }
    void onDetach() {}
    void detach() {}
    void cleanup() {}
};

}  // namespace Herald
