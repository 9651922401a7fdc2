#include "tools/flowtrack/Exporter.h"

#include <arpa/inet.h>
#include <poll.h>

#include <cerrno>
#include <cmath>
#include <exception>

namespace Flowtrack {

namespace {

std::uint64_t milliseconds(Kiln::Seconds t) {
    return t <= 0 ? 0 : static_cast<std::uint64_t>(std::llround(t * 1000.0));
}

}  // namespace

FlowFields FlowFields::of(const FlowTracking::FlowInfo& flow) {
    FlowFields f;
    f.ipv6 = flow.srcIpAddr().isV6() || flow.dstIpAddr().isV6();
    auto address = [&f](const Wirekit::IpGenAddr& a, std::array<std::uint8_t, 16>& out) {
        if (a.isV6()) {
            out = a.v6().bytes();
        } else if (a.isV4() && !f.ipv6) {
            const std::uint32_t v = a.v4().value();
            out = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                   static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        }
    };
    address(flow.srcIpAddr(), f.sourceAddress);
    address(flow.dstIpAddr(), f.destinationAddress);
    f.protocolIdentifier = static_cast<std::uint8_t>(flow.ipProtocol());
    f.sourceTransportPort = flow.srcPort();
    f.destinationTransportPort = flow.dstPort();
    f.ipClassOfService = flow.tos();
    f.tcpControlBits = flow.tcpFlags().value() & 0x0FFF;
    f.octetDeltaCount = flow.bytes();
    f.packetDeltaCount = flow.pkts();
    f.flowStartMilliseconds = milliseconds(flow.startTime());
    f.flowEndMilliseconds = milliseconds(flow.endTime());
    f.flowEndReason = static_cast<std::uint8_t>(flow.endReason());
    const auto vlan = flow.vlanId();
    f.vlanId = vlan.isNone() || vlan.isAny() ? 0 : vlan.value() & 0x0FFF;
    f.ingressInterface = flow.inIfIndex();
    f.egressInterface = flow.outIfIndex();
    f.ingressVRFID = flow.vrfId().value();
    f.flowLabelIPv6 = f.ipv6 ? flow.flowLabel() & 0xFFFFF : 0;
    if (!flow.vni().isNone()) f.layer2SegmentId = FlowFields::vxlanSegment | flow.vni().value();
    return f;
}

std::string FlowFields::addressText(bool ipv6, const std::array<std::uint8_t, 16>& bytes) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text);
    return text;
}

Exporter::Exporter(Kiln::Ptr<Loom::EventSpscQueue> queue) : queue_(std::move(queue)) {}

Exporter::~Exporter() {
    stop();
    close();
}

void Exporter::sinkIs(std::unique_ptr<FlowSink> sink) { sinks_.push_back(std::move(sink)); }

void Exporter::errorIs(const std::string& text) {
    errors_.fetch_add(1, std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(lastErrorMutex_);
    lastError_ = text;
}

std::string Exporter::lastError() const {
    const std::lock_guard<std::mutex> lock(lastErrorMutex_);
    return lastError_;
}

std::size_t Exporter::drain() {
    std::size_t popped = 0;
    while (Kiln::Ptr<Loom::CrossThreadDesc> desc = queue_->descPop()) {
        ++popped;
        const auto* flow = dynamic_cast<const FlowTracking::FlowInfo*>(desc.ptr());
        if (flow == nullptr) {
            errorIs("exporter queue: a descriptor that is no FlowInfo");
            continue;
        }
        const FlowFields fields = FlowFields::of(*flow);
        bool written = true;
        for (const auto& sink : sinks_) {
            try {
                sink->write(fields);
            } catch (const std::exception& e) {
                written = false;
                errorIs(sink->name() + ": " + e.what());
            }
        }
        if (written) flowsExported_.fetch_add(1, std::memory_order_relaxed);
    }
    if (popped == 0) return 0;
    for (const auto& sink : sinks_) {
        try {
            sink->flush();
        } catch (const std::exception& e) {
            errorIs(sink->name() + ": " + e.what());
        }
    }
    return popped;
}

void Exporter::close() {
    for (const auto& sink : sinks_) {
        try {
            sink->close();
        } catch (const std::exception& e) {
            errorIs(sink->name() + ": " + e.what());
        }
    }
}

void Exporter::start() {
    stopping_.store(false, std::memory_order_relaxed);
    thread_ = std::thread([this] { run(); });
}

void Exporter::stop() {
    if (!thread_.joinable()) return;
    // The release store pairs with the thread's acquire load after its drain: a thread that sees
    // the flag drains once more, and so also sees every push made before this call.
    stopping_.store(true, std::memory_order_release);
    queue_->fifoEvent()->signal();
    thread_.join();
}

void Exporter::run() {
    const Kiln::Ptr<Loom::FifoEvent>& event = queue_->fifoEvent();
    for (;;) {
        // Clearing before draining: a push that lands after the clear signals again, so the
        // poll below cannot sleep on a non-empty queue (see EventSpscQueue).
        event->clear();
        drain();
        if (stopping_.load(std::memory_order_acquire)) break;
        pollfd fd{event->fd(), POLLIN, 0};
        while (::poll(&fd, 1, -1) < 0 && errno == EINTR) {
        }
    }
    drain();
    close();
}

}  // namespace Flowtrack
