#include "contracts/HoardBase/MapDescriptor.h"

#include <sstream>

namespace Hoard {

std::string MapDescriptor::toString() const {
    std::ostringstream os;
    os << "slotLimit:" << slotLimit << " fixedSize:" << fixedSize << " shrinkable:" << shrinkable
       << " shrinkBuckets:" << shrinkBuckets << " pruneNotifications:" << pruneNotifications
       << " local:" << local << " useHeap:" << useHeap << " heapCheck:" << heapCheck
       << " synchronous:" << synchronous << " cleanFirst:" << cleanFirst
       << " shadowBaseOption:" << shadowBaseOption << " reportFlushedKeys:" << reportFlushedKeys
       << " mode:" << hoardTypeText(mode) << " initialSize:" << initialSize
       << " mapFlag:" << mapFlag << " releaseGrace:" << releaseGrace
       << " assertOnOrphanAccess:" << assertOnOrphanAccess
       << " recoverOnAttach:" << recoverOnAttach;
    return os.str();
}

}  // namespace Hoard
