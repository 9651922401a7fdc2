#include "tools/flowtrack/Capture.h"

#include <fmt/format.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <thread>

#include "contracts/Basalt/Exception.h"

namespace Flowtrack {

namespace {

// Installs `filter` on `handle`, or closes the handle and throws with pcap's reason.
void installFilter(pcap_t* handle, const std::string& source, const std::string& filter) {
    if (filter.empty()) return;
    bpf_program program{};
    if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        const std::string text =
            fmt::format("bad filter expression \"{}\": {}", filter, pcap_geterr(handle));
        pcap_close(handle);
        throw Basalt::Exception(text);
    }
    const int rc = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (rc != 0) {
        const std::string text = fmt::format("cannot apply filter \"{}\" to {}: {}", filter, source,
                                             pcap_geterr(handle));
        pcap_close(handle);
        throw Basalt::Exception(text);
    }
}

// Refuses (closing the handle) a link type the decoder does not read, by number and name.
void checkLinkType(pcap_t* handle, const std::string& source) {
    const int linkType = pcap_datalink(handle);
    if (PacketDecoder::linkTypeSupported(linkType)) return;
    const char* name = pcap_datalink_val_to_name(linkType);
    const std::string text = fmt::format(
        "unknown link type {} ({}) in {}: flowtrack reads Ethernet (EN10MB) and Linux cooked "
        "captures (LINUX_SLL, LINUX_SLL2)",
        linkType, name != nullptr ? name : "no name", source);
    pcap_close(handle);
    throw Basalt::Exception(text);
}

}  // namespace

std::string CaptureCounters::text() const {
    const auto get = [](const std::atomic<std::uint64_t>& n) {
        return n.load(std::memory_order_relaxed);
    };
    std::string line = fmt::format("read {}, sampled {}, decoded {}, dropped {}", get(packetsRead),
                                   get(packetsSampled), get(packetsDecoded), get(queueDrops));
    if (get(queueWaits) > 0) line += fmt::format(", waited {}", get(queueWaits));
    std::string reasons;
    std::uint64_t total = 0;
    for (std::size_t s = 0; s < decodeStatusCount; ++s) {
        if (get(undecodable[s]) == 0) continue;
        total += get(undecodable[s]);
        reasons += fmt::format("{}{} {}", reasons.empty() ? "" : ", ",
                               decodeStatusText(static_cast<DecodeStatus>(s)), get(undecodable[s]));
    }
    if (total > 0) line += fmt::format(", undecodable {} ({})", total, reasons);
    if (get(readErrors) > 0) line += fmt::format(", read errors {}", get(readErrors));
    return line;
}

Capture::Capture(pcap* handle, std::string source, bool live)
    : handle_(handle), source_(std::move(source)), live_(live), decoder_(pcap_datalink(handle)) {
    if (pcap_get_tstamp_precision(handle_) == PCAP_TSTAMP_PRECISION_NANO) tsScale_ = 1e-9;
}

Capture::~Capture() { pcap_close(handle_); }

std::unique_ptr<Capture> Capture::openFile(const std::string& path, const std::string& filter) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    if (handle == nullptr) {
        throw Basalt::Exception(fmt::format("cannot read pcap file {}: {}", path, error));
    }
    checkLinkType(handle, path);
    installFilter(handle, path, filter);
    return std::unique_ptr<Capture>(new Capture(handle, path, false));
}

std::unique_ptr<Capture> Capture::openInterface(const std::string& interface,
                                                const std::string& filter) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(interface.c_str(), error);
    if (handle == nullptr) {
        throw Basalt::Exception(fmt::format("cannot capture on {}: {}", interface, error));
    }
    pcap_set_snaplen(handle, 262144);
    pcap_set_promisc(handle, 0);
    // A bounded wait, so that the loop sees stop() even on a silent interface.
    pcap_set_timeout(handle, 100);
    pcap_set_immediate_mode(handle, 1);
    pcap_set_tstamp_precision(handle, PCAP_TSTAMP_PRECISION_NANO);  // best effort
    const int rc = pcap_activate(handle);
    if (rc < 0) {
        const std::string reason = rc == PCAP_ERROR ? pcap_geterr(handle) : pcap_statustostr(rc);
        pcap_close(handle);
        if (rc == PCAP_ERROR_PERM_DENIED || rc == PCAP_ERROR_PROMISC_PERM_DENIED) {
            Basalt::NoPermissionException::throwException(
                fmt::format("cannot capture on {}: {} (live capture needs root or CAP_NET_RAW)",
                            interface, reason));
        }
        throw Basalt::Exception(fmt::format("cannot capture on {}: {}", interface, reason));
    }
    checkLinkType(handle, interface);
    installFilter(handle, interface, filter);
    return std::unique_ptr<Capture>(new Capture(handle, interface, true));
}

void Capture::stop() {
    stopRequested_.store(true, std::memory_order_relaxed);
    pcap_breakloop(handle_);
}

Capture::RunResult Capture::run(const CaptureConfig& config, Loom::EventSpscQueue& queue) {
    const std::uint64_t rate = std::max<std::uint32_t>(config.sampleRate, 1);
    while (!stopRequested_.load(std::memory_order_relaxed)) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int rc = pcap_next_ex(handle_, &header, &data);
        if (rc == 0) continue;  // a live capture's read timeout: nothing arrived
        if (rc == PCAP_ERROR_BREAK) {
            // A file's end, or pcap_breakloop from stop().
            return live_ || stopRequested_.load(std::memory_order_relaxed) ? RunResult::stopped
                                                                           : RunResult::endOfInput;
        }
        if (rc < 0) {
            errorText_ = fmt::format("reading {}: {}", source_, pcap_geterr(handle_));
            counters_.readErrors.fetch_add(1, std::memory_order_relaxed);
            return RunResult::error;
        }
        DecodedPacket packet;
        packet.timestamp = static_cast<double>(header->ts.tv_sec) +
                           static_cast<double>(header->ts.tv_usec) * tsScale_;
        if (config.replaySpeed > 0 && !live_) {
            pace(config, packet.timestamp);
            // Stopped while waiting: the packet's time has not come, so it was never seen.
            if (stopRequested_.load(std::memory_order_relaxed)) break;
        }
        // The first packet and every rate-th after it.
        if (counters_.packetsRead.fetch_add(1, std::memory_order_relaxed) % rate != 0) continue;
        counters_.packetsSampled.fetch_add(1, std::memory_order_relaxed);
        packet.wireLength = header->len;
        const DecodeStatus status = decoder_.decode(data, header->caplen, packet);
        if (status != DecodeStatus::ok) {
            counters_.undecodable[static_cast<std::size_t>(status)].fetch_add(
                1, std::memory_order_relaxed);
            continue;
        }
        counters_.packetsDecoded.fetch_add(1, std::memory_order_relaxed);
        pushOrCount(config, packetInfo(config, packet), queue);
        for (const FlowTracking::FtId ftId : config.moreFtIds) {
            pushOrCount(config, packetInfo(config, packet, ftId), queue);
        }
    }
    return RunResult::stopped;
}

void Capture::pace(const CaptureConfig& config, double time) {
    using Clock = std::chrono::steady_clock;
    if (!paceOrigin_) paceOrigin_.emplace(time, Clock::now());
    // A timestamp before the first packet's is due at once.
    const double offset = std::max(0.0, time - paceOrigin_->first) / config.replaySpeed;
    const Clock::time_point due = paceOrigin_->second + std::chrono::duration_cast<Clock::duration>(
                                                            std::chrono::duration<double>(offset));
    // Short slices, so that stop() is seen within one.
    for (Clock::time_point now = Clock::now();
         now < due && !stopRequested_.load(std::memory_order_relaxed); now = Clock::now()) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(due - now, std::chrono::milliseconds(50)));
    }
}

void Capture::pushOrCount(const CaptureConfig& config, Kiln::Ptr<Loom::CrossThreadDesc>&& desc,
                          Loom::EventSpscQueue& queue) {
    if (queue.push(std::move(desc))) return;
    if (config.waitWhenFull) {
        counters_.queueWaits.fetch_add(1, std::memory_order_relaxed);
        for (unsigned tries = 0; !stopRequested_.load(std::memory_order_relaxed); ++tries) {
            if (queue.push(std::move(desc))) return;
            // The consumer drains in batches: yield first, then back off without spinning.
            if (tries < 64) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
    }
    counters_.queueDrops.fetch_add(1, std::memory_order_relaxed);
}

Kiln::Ptr<FlowTracking::PacketInfo> Capture::packetInfo(const CaptureConfig& config,
                                                        const DecodedPacket& packet) {
    return packetInfo(config, packet, config.ftId);
}

Kiln::Ptr<FlowTracking::PacketInfo> Capture::packetInfo(const CaptureConfig& config,
                                                        const DecodedPacket& packet,
                                                        FlowTracking::FtId ftId) {
    auto info = FlowTracking::packetInfoFactory(
        ftId, config.fgId, packet.srcIp, packet.dstIp, packet.protocol,
        Wirekit::Port(packet.srcPort), Wirekit::Port(packet.dstPort), packet.timestamp,
        config.inIfIndex, config.inIntfId, config.inIfType,
        Bridging::VlanIdOrAnyOrNone(packet.vlanId), packet.srcMac);
    info->inDstEthAddrIs(packet.dstMac);
    FlowTracking::TosFlowLabel tos;
    tos.trafficClassIs(packet.tos);
    tos.flowLabelIs(packet.flowLabel);
    info->tosFlowLabelIs(tos);
    info->packetsIs(1);
    info->bytesIs(packet.ipLength);
    info->tcpFlagsIs(Wirekit::TcpDataOffsetAndFlags(packet.tcpFlags));
    info->fragmentedPktIs(packet.fragmented);
    info->dontFragIs(packet.dontFragment);
    info->vniIs(Vxlan::VniExtOrNone(packet.vni));
    info->tunnelStateIs(packet.tunnelState);
    std::uint32_t vrf = config.defaultVrfId;
    if (packet.vni != Vxlan::VniExtOrNone::noneValue) {
        const auto it = config.vrfByVni.find(packet.vni);
        vrf = it != config.vrfByVni.end() ? it->second : packet.vni;
    }
    info->vrfIdIs(Vrf::VrfIdMap::VrfId(vrf));
    return info;
}

}  // namespace Flowtrack
