#pragma once

// The export side of flowtrack: the fields a finished flow is exported with (named as the IPFIX
// information elements they become), the sinks that write them, and the exporter that moves
// finished flows from the manager's exporter queue to the sinks.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FlowTracker/PacketTypes.h"
#include "contracts/Kiln/Ptr.h"
#include "contracts/Loom/EventSpscQueue.h"

namespace Flowtrack {

// One flow as it is exported: host-order numbers, addresses as bytes in network order, times in
// milliseconds since the epoch. Every sink writes these values and no others, so the IPFIX and
// JSON outputs of one flow agree field by field.
struct FlowFields {
    bool ipv6 = false;
    std::array<std::uint8_t, 16> sourceAddress{};       // the first 4 bytes for IPv4
    std::array<std::uint8_t, 16> destinationAddress{};  // the first 4 bytes for IPv4
    std::uint8_t protocolIdentifier = 0;
    std::uint16_t sourceTransportPort = 0;
    std::uint16_t destinationTransportPort = 0;
    std::uint8_t ipClassOfService = 0;
    std::uint16_t tcpControlBits = 0;  // the flag bits of the TCP word (data offset removed)
    std::uint64_t octetDeltaCount = 0;
    std::uint64_t packetDeltaCount = 0;
    std::uint64_t flowStartMilliseconds = 0;
    std::uint64_t flowEndMilliseconds = 0;
    std::uint8_t flowEndReason = 0;  // RFC 5102 numbering, which FlowEndReason already uses
    std::uint16_t vlanId = 0;        // 0 when the flow has no VLAN (none or any)
    std::uint32_t ingressInterface = 0;
    std::uint32_t egressInterface = 0;
    std::uint32_t ingressVRFID = 0;   // the VRF of the flow's key (a VXLAN flow's mapped VNI)
    std::uint32_t flowLabelIPv6 = 0;  // IPv6 only
    // IPFIX layer2SegmentId: the segment type in the top 8 bits (0x01 VXLAN), the VNI in the
    // low 56; 0 when the flow was not decoded from a tunnel.
    std::uint64_t layer2SegmentId = 0;
    static constexpr std::uint64_t vxlanSegment = std::uint64_t{0x01} << 56;

    static FlowFields of(const FlowTracking::FlowInfo& flow);
    // The address as inet_ntop writes it.
    static std::string addressText(bool ipv6, const std::array<std::uint8_t, 16>& bytes);
};

// A destination of exported flows. Each sink is used by one thread at a time (the exporter's).
// write() and flush() throw Basalt::Exception with a one-line reason when the destination
// refuses the data; the sink stays usable and the exporter counts the error.
class FlowSink {
  public:
    virtual ~FlowSink() = default;
    // A short name for messages ("IPFIX file out.ipfix", "IPFIX collector 127.0.0.1:4739").
    virtual const std::string& name() const = 0;
    // Adds one flow to the current message (or line buffer).
    virtual void write(const FlowFields& flow) = 0;
    // Hands what was written since the last flush to the destination: one message, one write.
    virtual void flush() = 0;
    // Flushes and releases the destination; nothing is written afterwards. Idempotent.
    virtual void close() = 0;
};

// Moves finished flows (Kiln::Ptr<FlowTracking::FlowInfo>) from the manager's exporter queue to
// the sinks. Each drain pops every queued flow, writes it to every sink, then flushes each sink
// once, so a collector sees a burst of flows as few messages and an idle agent sends nothing.
//
// Thread safety: the exporter is the queue's consumer. Either start() runs a thread that owns
// the consumer side until stop(), or the owner calls drain() and close() itself on one thread
// (tests). sinkIs() is called before the first drain. stop() may be called from any thread
// once; it returns after the thread drained the queue one last time and closed the sinks, so
// every flow the producer pushed before calling stop() is exported. The counters are atomic and
// may be read from any thread at any time (each is exact when read, independently of the other).
class Exporter {
  public:
    explicit Exporter(Kiln::Ptr<Loom::EventSpscQueue> queue);
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;
    ~Exporter();  // stops the thread if it runs, then closes the sinks

    void sinkIs(std::unique_ptr<FlowSink> sink);

    // Pops and exports every queued flow; returns how many were popped.
    std::size_t drain();
    // Closes every sink (counting a failed final flush as an error).
    void close();

    // Runs the consumer on a thread: it sleeps on the queue's FifoEvent and drains when woken.
    void start();
    void stop();

    // Flows written to every sink without an error.
    std::uint64_t flowsExported() const { return flowsExported_.load(std::memory_order_relaxed); }
    // Failed writes, flushes and closes, over all sinks, plus descriptors that are no FlowInfo.
    std::uint64_t errors() const { return errors_.load(std::memory_order_relaxed); }
    // The text of the latest error, or "".
    std::string lastError() const;

  private:
    void run();
    void errorIs(const std::string& text);

    const Kiln::Ptr<Loom::EventSpscQueue> queue_;
    std::vector<std::unique_ptr<FlowSink>> sinks_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> flowsExported_{0};
    std::atomic<std::uint64_t> errors_{0};
    mutable std::mutex lastErrorMutex_;  // guards lastError_ (errors are rare; readers anywhere)
    std::string lastError_;
};

}  // namespace Flowtrack
