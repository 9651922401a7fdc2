#include "contracts/HoardBase/Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "contracts/Basalt/DebugHandler.h"

namespace Hoard::Util {

namespace {

bool envIsOne(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

std::string errnoText(int error) { return std::string(std::strerror(error)); }

}  // namespace

bool runningOnPhysicalDut() { return envIsOne("FLOWTABLE_PHYSICAL_DUT"); }

bool strictValidation() { return envIsOne("FLOWTABLE_STRICT_VALIDATION"); }

bool validateFile(const std::string& path, std::size_t minimumSize, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        error = path + ": " + errnoText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) < minimumSize) {
        error = path + ": size " + std::to_string(st.st_size) + " is below the minimum " +
                std::to_string(minimumSize);
        return false;
    }
    return true;
}

void writeCorruptionFile(const Mem::RootPath& root, const std::string& text) {
    const auto& debug = root.debugHandler();
    try {
        const std::string path = root.filePath(corruptionFileName);
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int error = errno;
            if (error == EACCES || error == EROFS || error == EPERM) return;  // a reader
            BASALT_TRACE(debug, 0,
                         "Hoard::Util::writeCorruptionFile() cannot open " << path << ": "
                                                                           << errnoText(error));
            return;
        }
        // The mode is 0644 whatever the umask; a marker owned by another user keeps its own.
        (void)::fchmod(fd, 0644);
        const std::string line = text + '\n';
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;
                BASALT_TRACE(debug, 0,
                             "Hoard::Util::writeCorruptionFile() cannot write "
                                 << path << ": " << errnoText(error));
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    } catch (const std::exception& e) {
        // Called while reporting corruption: a failure here must not replace that report.
        BASALT_TRACE(debug, 0, "Hoard::Util::writeCorruptionFile() failed: " << e.what());
    }
}

}  // namespace Hoard::Util
