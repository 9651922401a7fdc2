#pragma once

#include <cstddef>
#include <string>

#include "contracts/Mem/RootPath.h"

namespace Hoard::Util {

// The marker file a process leaves in a table directory when it found the table corrupt.
inline constexpr const char* corruptionFileName = "corruption-detected";

// True only when $FLOWTABLE_PHYSICAL_DUT is exactly "1" (running on a physical device).
bool runningOnPhysicalDut();
// True only when $FLOWTABLE_STRICT_VALIDATION is exactly "1" (a failed validation of existing
// files is fatal instead of re-formatting them).
bool strictValidation();

// True when `path` is a regular file (not followed when a symbolic link) of at least
// `minimumSize` bytes; otherwise false with the reason in `error`.
bool validateFile(const std::string& path, std::size_t minimumSize, std::string& error);

// Writes `text` and a line feed to the marker file "corruption-detected" of `root` (created 0644,
// truncated when present, never through a symbolic link). A process without write permission
// there (a reader: EACCES, EROFS, EPERM) skips it quietly; any other failure is traced at level 0
// through the root path's debug handler. Never throws.
//
// Thread safety: any thread, any process. Concurrent writers each truncate and write from the
// start, so their texts may mix; the marker's presence is what the table's owner relies on.
void writeCorruptionFile(const Mem::RootPath& root, const std::string& text);

}  // namespace Hoard::Util
