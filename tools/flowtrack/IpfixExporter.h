#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/flowtrack/Exporter.h"

// libfixbuf's handles, declared here so that its header (and glib's) stay out of ours.
struct fBuf_st;
struct fbInfoModel_st;

namespace Flowtrack {

struct IpfixOptions {
    std::uint32_t observationDomainId = 0;
    // Over UDP the templates go out again (RFC 7011 section 8.4), as a message of their own
    // ahead of the next records, once either bound has passed since they last went out, and
    // after a message that carried them was lost; so a collector that starts late learns them.
    // Time is export time, the latest flow end seen, so a replayed capture refreshes as often
    // as the live traffic did. A file carries the templates once, in its first message.
    std::uint32_t templateRefreshSeconds = 60;
    std::uint32_t templateRefreshMessages = 100;
};

// Writes flows as IPFIX (RFC 7011) messages, encoded by libfixbuf, to a file or to a collector
// over UDP (one message per datagram, at most 1400 bytes). Two templates: 256 for IPv4 flows and
// 257 for IPv6 flows, with the standard information elements (addresses, protocolIdentifier, ports,
// ipClassOfService, tcpControlBits, octetDeltaCount, packetDeltaCount, flowStart/EndMilliseconds,
// flowEndReason, vlanId, ingressInterface, egressInterface, ingressVRFID, layer2SegmentId (0x01 <<
// 56 | VNI for a flow decoded from VXLAN, else 0), and flowLabelIPv6 for IPv6). Each flush() emits
// the current message; a message's export time is the latest flow end written so far, never the
// wall clock, so the same flows always give the same bytes.
//
// Thread safety: one thread at a time (the exporter's).
class IpfixExporter : public FlowSink {
  public:
    // Creates or truncates `path`. InvalidInitializeException naming the file and the reason
    // when it cannot be opened.
    static std::unique_ptr<IpfixExporter> toFile(const std::string& path,
                                                 const IpfixOptions& options = {});
    // `collector` is HOST:PORT ([ADDRESS]:PORT for an IPv6 address). InvalidInitializeException
    // when it is malformed or the host does not resolve.
    static std::unique_ptr<IpfixExporter> toCollector(const std::string& collector,
                                                      const IpfixOptions& options = {});
    ~IpfixExporter() override;

    const std::string& name() const override { return name_; }
    void write(const FlowFields& flow) override;
    void flush() override;
    void close() override;

    // Messages delivered (or attempted) so far.
    std::uint64_t messages() const { return messages_; }

  private:
    IpfixExporter(std::string name, const IpfixOptions& options, bool udp);
    void open();
    void addTemplates();
    void templatesAreDue();
    void append(std::uint8_t* record, std::size_t size);
    // Encodes the current message and delivers it.
    void emit();
    // Runs a libfixbuf step; when the message is full, emits it and runs the step once more.
    template <class Step>
    void orEmit(const char* what, Step step);

    const std::string name_;
    const IpfixOptions options_;
    const bool udp_;
    std::vector<std::uint8_t> message_;  // the encoded message libfixbuf emits into
    std::FILE* file_ = nullptr;          // the IPFIX file, or null
    int socket_ = -1;                    // the UDP socket connected to the collector, or -1
    fbInfoModel_st* model_ = nullptr;
    fBuf_st* buf_ = nullptr;  // owns the session, its templates and libfixbuf's exporter
    bool pending_ = false;    // a message was started and not emitted yet
    std::uint32_t exportTime_ = 0;
    bool templatesSent_ = false;
    bool templatesInMessage_ = false;  // the current message carries the templates
    bool templatesLost_ = false;       // a message with templates was not delivered
    std::uint32_t templatesTime_ = 0;
    std::uint64_t messagesAtTemplates_ = 0;
    std::uint64_t messages_ = 0;
    std::string refusal_;  // a refusal the kernel reported since the last flush(), or ""
    int currentTemplate_ = -1;
};

}  // namespace Flowtrack
