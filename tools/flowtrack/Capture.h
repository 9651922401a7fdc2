#pragma once

// The sampler: reads packets from a pcap file or a live interface, samples 1 in N, decodes them
// and hands PacketInfo descriptors to the manager's input queue.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FlowTracker/PacketTypes.h"
#include "contracts/Config/FtId.h"
#include "contracts/Config/TemplateId.h"
#include "contracts/Loom/EventSpscQueue.h"
#include "contracts/Wirekit/TextValue.h"
#include "tools/flowtrack/PacketDecoder.h"

struct pcap;

namespace Flowtrack {

// What the sampler stamps on every descriptor it builds.
struct CaptureConfig {
    FlowTracking::FtId ftId{};
    // Further trackers: each decoded packet also goes to each of these, one descriptor apiece.
    std::vector<FlowTracking::FtId> moreFtIds{};
    FlowTracking::TemplateId fgId{};
    std::uint32_t sampleRate = 1;  // 1 in N packets read is decoded; 0 counts as 1
    std::uint32_t inIfIndex = 0;
    Wirekit::IntfId inIntfId{};
    std::uint32_t inIfType = 0;
    // A full queue: drop the packet (live capture must not fall behind the wire), or wait for
    // the consumer (a file has no wire to fall behind; counts are exact).
    bool waitWhenFull = false;
    // Replay pace for files: 0 reads as fast as it can; s > 0 holds each packet until its
    // distance from the first packet's timestamp, divided by s, has passed (1: the capture's
    // own pace, so that people can watch live flows).
    double replaySpeed = 0;
    // The VRF of a VXLAN packet by its VNI (missing: the VNI itself) and of other packets.
    std::map<std::uint32_t, std::uint32_t> vrfByVni{};
    std::uint32_t defaultVrfId = 0;
};

// Counters, written by the sampler thread and readable from any thread.
struct CaptureCounters {
    std::atomic<std::uint64_t> packetsRead{0};
    std::atomic<std::uint64_t> packetsSampled{0};
    std::atomic<std::uint64_t> packetsDecoded{0};  // decoded, whether pushed or dropped
    std::array<std::atomic<std::uint64_t>, decodeStatusCount> undecodable{};  // by DecodeStatus
    std::atomic<std::uint64_t> queueDrops{0};
    std::atomic<std::uint64_t> queueWaits{0};  // pushes retried because the queue was full
    std::atomic<std::uint64_t> readErrors{0};  // a damaged file, a failed interface

    std::uint64_t undecodableBy(DecodeStatus s) const {
        return undecodable[static_cast<std::size_t>(s)].load(std::memory_order_relaxed);
    }
    // One line for people: "read 8, sampled 8, decoded 6, dropped 2, undecodable 2 (packet
    // shorter than its headers 1, not an IP packet 1)"; waits and read errors when there are any.
    std::string text() const;
};

// One open capture. Opening failures throw Basalt::Exception with a message a person can act
// on (the file or interface, pcap's own text, and for live capture the privilege it needs).
//
// Thread safety: run() on one thread (the sampler); stop() and counters() from any thread.
class Capture {
  public:
    enum class RunResult {
        endOfInput,  // the file's last packet was read
        stopped,     // stop() was called
        error,       // reading failed; errorText() says why (what was read before is pushed)
    };

    // A pcap file. `filter` is a BPF expression as tcpdump takes it; empty for none.
    static std::unique_ptr<Capture> openFile(const std::string& path,
                                             const std::string& filter = "");
    // A live interface ("eth0", "any"); needs root or CAP_NET_RAW.
    static std::unique_ptr<Capture> openInterface(const std::string& interface,
                                                  const std::string& filter = "");
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture();

    int linkType() const { return decoder_.linkType(); }
    const std::string& source() const { return source_; }

    // Reads until the file ends, stop() or an error: every packet is counted, 1 in
    // config.sampleRate decoded, and each decodable IP packet pushed onto `queue` as a
    // FlowTracking::PacketInfo (pktRcvTime the capture timestamp, bytes the IP length, one
    // packet, tcp flags, tos and flow label, fragment flags, VNI, tunnel state and VRF set).
    RunResult run(const CaptureConfig& config, Loom::EventSpscQueue& queue);
    void stop();

    const CaptureCounters& counters() const { return counters_; }
    // Why the last run() ended with RunResult::error.
    const std::string& errorText() const { return errorText_; }

    // The descriptor for one decoded packet (status ok).
    static Kiln::Ptr<FlowTracking::PacketInfo> packetInfo(const CaptureConfig& config,
                                                          const DecodedPacket& packet);
    // The same for tracker `ftId`.
    static Kiln::Ptr<FlowTracking::PacketInfo> packetInfo(const CaptureConfig& config,
                                                          const DecodedPacket& packet,
                                                          FlowTracking::FtId ftId);

  private:
    Capture(pcap* handle, std::string source, bool live);
    // Pushes `desc`; when the queue is full, waits (config.waitWhenFull) or counts a drop.
    // Waits, as config.replaySpeed asks, until the packet stamped `time` is due; stop() ends
    // the wait.
    void pace(const CaptureConfig& config, double time);
    void pushOrCount(const CaptureConfig& config, Kiln::Ptr<Loom::CrossThreadDesc>&& desc,
                     Loom::EventSpscQueue& queue);

    pcap* const handle_;
    const std::string source_;
    const bool live_;
    const PacketDecoder decoder_;
    double tsScale_ = 1e-6;  // seconds per unit of the packets' sub-second field
    std::atomic<bool> stopRequested_{false};
    std::optional<std::pair<double, std::chrono::steady_clock::time_point>> paceOrigin_;
    CaptureCounters counters_;
    std::string errorText_;
};

}  // namespace Flowtrack
