#pragma once

#include <string>

namespace TestSupport {

// A private shared-memory root for one test: a fresh directory under /dev/shm (tmpfs, like the
// real root), installed as $HOARD_SHM_ROOT for the test's lifetime and removed with everything
// in it afterwards, also when the test fails. Forked children inherit it.
class ShmRoot {
  public:
    ShmRoot();
    ~ShmRoot();
    ShmRoot(const ShmRoot&) = delete;
    ShmRoot& operator=(const ShmRoot&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace TestSupport
