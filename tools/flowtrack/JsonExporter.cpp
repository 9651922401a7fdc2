#include "tools/flowtrack/JsonExporter.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include "contracts/Basalt/Exception.h"

namespace Flowtrack {

JsonExporter::JsonExporter(const std::string& path) : name_("JSON file " + path) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        Basalt::InvalidInitializeException::throwException(
            fmt::format("cannot open JSON file {}: {}", path, std::strerror(errno)));
    }
}

JsonExporter::~JsonExporter() {
    try {
        close();
    } catch (const std::exception&) {
        // A destructor reports nothing; close() before destruction to see the reason.
    }
}

std::string JsonExporter::line(const FlowFields& f) {
    const char* family = f.ipv6 ? "IPv6" : "IPv4";
    std::string text = fmt::format(
        "{{\"source{0}Address\":\"{1}\",\"destination{0}Address\":\"{2}\","
        "\"protocolIdentifier\":{3},\"sourceTransportPort\":{4},"
        "\"destinationTransportPort\":{5},\"ipClassOfService\":{6},\"tcpControlBits\":{7},"
        "\"octetDeltaCount\":{8},\"packetDeltaCount\":{9},\"flowStartMilliseconds\":{10},"
        "\"flowEndMilliseconds\":{11},\"flowEndReason\":{12},\"vlanId\":{13},"
        "\"ingressInterface\":{14},\"egressInterface\":{15},\"ingressVRFID\":{16}",
        family, FlowFields::addressText(f.ipv6, f.sourceAddress),
        FlowFields::addressText(f.ipv6, f.destinationAddress), f.protocolIdentifier,
        f.sourceTransportPort, f.destinationTransportPort, f.ipClassOfService, f.tcpControlBits,
        f.octetDeltaCount, f.packetDeltaCount, f.flowStartMilliseconds, f.flowEndMilliseconds,
        f.flowEndReason, f.vlanId, f.ingressInterface, f.egressInterface, f.ingressVRFID);
    if (f.ipv6) text += fmt::format(",\"flowLabelIPv6\":{}", f.flowLabelIPv6);
    // The VNI of a flow decoded from VXLAN; absent for the others (like flowLabelIPv6).
    if (f.layer2SegmentId != 0) {
        text += fmt::format(",\"vni\":{}", f.layer2SegmentId & (FlowFields::vxlanSegment - 1));
    }
    text += '}';
    return text;
}

void JsonExporter::write(const FlowFields& flow) {
    if (file_ == nullptr) throw Basalt::Exception("write after close");
    const std::string text = line(flow) + '\n';
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        throw Basalt::Exception(fmt::format("write failed: {}", std::strerror(errno)));
    }
}

void JsonExporter::flush() {
    if (file_ != nullptr && std::fflush(file_) != 0) {
        throw Basalt::Exception(fmt::format("write failed: {}", std::strerror(errno)));
    }
}

void JsonExporter::close() {
    if (file_ == nullptr) return;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
        throw Basalt::Exception(fmt::format("close failed: {}", std::strerror(errno)));
    }
}

}  // namespace Flowtrack
