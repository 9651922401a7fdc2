#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

// A private table root under /dev/shm for one benchmark run (HOARD_SHM_ROOT points at it),
// removed when the object goes. Forked reader processes leave with _exit and never remove it.
class BenchRoot {
  public:
    BenchRoot() {
        char templ[] = "/dev/shm/flowtable-bench-XXXXXX";
        if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
        ::setenv("HOARD_SHM_ROOT", path_.c_str(), 1);
    }
    ~BenchRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    BenchRoot(const BenchRoot&) = delete;
    BenchRoot& operator=(const BenchRoot&) = delete;

  private:
    std::string path_;
};
