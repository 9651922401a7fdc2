// libFuzzer harness: every value text parser (FuzzSupport::valueTextTargets). The first byte
// picks the parser, the rest is the text; whatever parses must print and parse back equal.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/fuzz/FuzzInputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& targets = FuzzSupport::valueTextTargets();
    if (size == 0) return 0;
    const FuzzSupport::ValueTextTarget& target = targets[data[0] % targets.size()];
    FuzzSupport::Sink sink;
    sink.fold(
        target.roundTrip(std::string(reinterpret_cast<const char*>(data + 1), size - 1), sink));
    sink.observe();
    return 0;
}
