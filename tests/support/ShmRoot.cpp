#include "tests/support/ShmRoot.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace TestSupport {

ShmRoot::ShmRoot() {
    char templ[] = "/dev/shm/flowtable-test-XXXXXX";
    if (::mkdtemp(templ) == nullptr) throw std::runtime_error("ShmRoot: mkdtemp failed");
    path_ = templ;
    if (const char* old = std::getenv("HOARD_SHM_ROOT")) {
        hadPrevious_ = true;
        previous_ = old;
    }
    ::setenv("HOARD_SHM_ROOT", path_.c_str(), 1);
}

ShmRoot::~ShmRoot() {
    if (hadPrevious_) {
        ::setenv("HOARD_SHM_ROOT", previous_.c_str(), 1);
    } else {
        ::unsetenv("HOARD_SHM_ROOT");
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace TestSupport
