#include "contracts/Mem/RootPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "contracts/Basalt/Exception.h"

namespace Mem {

std::string shmRoot() {
    const char* env = std::getenv("HOARD_SHM_ROOT");
    std::string root = (env && *env) ? env : "/dev/shm/hoard";
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

namespace {

std::string normalise(const std::string& tableName) {
    std::string name = tableName;
    if (!name.empty() && name.front() == '/') name.erase(0, 1);
    if (name.empty()) {
        Basalt::InvalidInitializeException::throwException("RootPath() empty table name");
    }
    RootPath::checkTableName(name, tableName);
    return name;
}

}  // namespace

void RootPath::checkTableName(const std::string& name, const std::string& shownAs) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        const std::string part =
            name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) {
            Basalt::InvalidInitializeException::throwException(
                "RootPath() bad table name: \"" + (shownAs.empty() ? name : shownAs) + "\"");
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
}

RootPath::RootPath(std::shared_ptr<Basalt::Platform::DebugHandler> debug,
                   const std::string& tableName, bool writer, bool local)
    : debug_(std::move(debug)),
      root_(shmRoot()),
      name_(normalise(tableName)),
      directory_(root_ + "/" + name_),
      writer_(writer),
      local_(local) {}

namespace {

// mkdir that accepts an existing directory; `followLinks` decides whether an existing symbolic
// link to a directory is accepted (the operator's root may be one; levels below it may not).
void makeDirectory(const std::string& path, bool followLinks) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        Basalt::InvalidInitializeException::throwException(
            "RootPath::ensureDirectory() cannot create " + path + ": " + std::strerror(errno));
    }
    struct stat st;
    const int rc = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0 || !S_ISDIR(st.st_mode)) {
        Basalt::InvalidInitializeException::throwException(
            "RootPath::ensureDirectory() not a directory: " + path);
    }
}

}  // namespace

void RootPath::ensureDirectory() const {
    if (local_) return;
    for (std::size_t slash = root_.find('/', 1); slash != std::string::npos;
         slash = root_.find('/', slash + 1)) {
        makeDirectory(root_.substr(0, slash), true);
    }
    makeDirectory(root_, true);
    for (std::size_t slash = name_.find('/'); slash != std::string::npos;
         slash = name_.find('/', slash + 1)) {
        makeDirectory(root_ + "/" + name_.substr(0, slash), false);
    }
    makeDirectory(directory_, false);
    struct stat st;
    if (writer_ && ::lstat(directory_.c_str(), &st) == 0 && st.st_uid != ::geteuid()) {
        Basalt::InvalidInitializeException::throwException("RootPath::ensureDirectory() " +
                                                           directory_ + " belongs to uid " +
                                                           std::to_string(st.st_uid));
    }
}

bool RootPath::exists() const {
    struct stat st;
    return ::lstat(directory_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void RootPath::removeFile(const std::string& fileName) const {
    if (local_) return;
    const std::string path = filePath(fileName);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        BASALT_TRACE(debug_, 1, "RootPath::removeFile() " << path << ": " << std::strerror(errno));
    }
}

}  // namespace Mem
