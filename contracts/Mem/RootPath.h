#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "contracts/Basalt/DebugHandler.h"

namespace Mem {

// The shared-memory root: $HOARD_SHM_ROOT, or /dev/shm/hoard when unset or empty.
std::string shmRoot();

// Names the directory of one table: <shm root>/<table name>/, one directory level per "/" in the
// name. A leading "/" is dropped; empty parts, "." and ".." are refused, so a name can never
// reach outside the root.
//
// Thread safety: immutable after construction.
class RootPath {
  public:
    // Raises Basalt::InvalidInitializeException for a name that is empty or has a refused part.
    // `writer`: the process means to create files here (ensureDirectory may create and checks
    // ownership). `local`: the table is private to this process; its "files" are private memory
    // (SharedMemWrapper maps nothing from disk) and nothing is created under the root.
    RootPath(std::shared_ptr<Basalt::Platform::DebugHandler> debug, const std::string& tableName,
             bool writer = false, bool local = false);

    // Raises Basalt::InvalidInitializeException ("RootPath() bad table name: ...", naming
    // `shownAs` when given) unless every '/'-separated part of `name` is a usable directory name:
    // not empty (so no leading, trailing or doubled slash), not "." or "..", no NUL.
    static void checkTableName(const std::string& name, const std::string& shownAs = "");

    // The table name as normalised ("flowtracking/x/flowTable/t1/ipFlowEntry").
    const std::string& hoardName() const { return name_; }
    const std::string& root() const { return root_; }
    // <root>/<name>
    const std::string& directory() const { return directory_; }
    std::string filePath(const std::string& fileName) const { return directory_ + "/" + fileName; }
    bool writer() const { return writer_; }
    bool local() const { return local_; }
    // A copy whose local memory (a local table's "files") comes from the heap instead of an
    // anonymous mapping, with guard bytes checked on every resize when `heapCheck` is set
    // (Mem::Local::useHeapIs, enableHeapCheck). No effect on a shared table.
    RootPath withLocalHeap(bool useHeap, bool heapCheck) const {
        RootPath p = *this;
        p.localHeap_ = useHeap;
        p.localHeapCheck_ = heapCheck;
        return p;
    }
    bool localHeap() const { return localHeap_; }
    bool localHeapCheck() const { return localHeapCheck_; }
    const std::shared_ptr<Basalt::Platform::DebugHandler>& debugHandler() const { return debug_; }

    // Creates the directory and its parents (0755) where missing (nothing for a local table).
    // Raises Basalt::InvalidInitializeException when a level is not a directory (a symbolic link
    // included), or when the table directory belongs to another user.
    void ensureDirectory() const;
    // True when the table directory exists.
    bool exists() const;
    // Deletes one file of the table; quiet when it is absent.
    void removeFile(const std::string& fileName) const;

    friend std::ostream& operator<<(std::ostream& os, const RootPath& p) {
        return os << p.directory_;
    }

  private:
    std::shared_ptr<Basalt::Platform::DebugHandler> debug_;
    std::string root_;
    std::string name_;
    std::string directory_;
    bool writer_;
    bool local_;
    bool localHeap_ = false;
    bool localHeapCheck_ = false;
};

}  // namespace Mem

namespace Hoard {
// The table engine names its tables through the same root path.
using RootPath = Mem::RootPath;
}  // namespace Hoard
