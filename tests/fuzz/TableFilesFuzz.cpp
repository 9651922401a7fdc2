// libFuzzer harness: the files of a flow table (slots and buckets; no change queue), see
// FuzzSupport::runTable. Every input ends in a result or a documented exception for a bad file.

#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static FuzzSupport::NullSink sink;
    Basalt::traceSinkIs(&sink);
    FuzzSupport::FuzzRoot::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzSupport::runTable(data, size, false);
    return 0;
}
