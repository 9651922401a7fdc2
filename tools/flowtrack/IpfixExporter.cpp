#include "tools/flowtrack/IpfixExporter.h"

#include <fixbuf/public.h>
#include <fmt/format.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "contracts/Basalt/Exception.h"

namespace Flowtrack {

namespace {

constexpr std::uint16_t ipv4TemplateId = 256;
constexpr std::uint16_t ipv6TemplateId = 257;

// The in-memory records libfixbuf transcodes from (host order; it writes network order). Each
// internal template lists the fields in this order, with the trailing padding, so that its
// length is the struct's size; the external templates leave the padding out.
struct Ipv4Record {
    std::uint64_t octetDeltaCount;
    std::uint64_t packetDeltaCount;
    std::uint64_t flowStartMilliseconds;
    std::uint64_t flowEndMilliseconds;
    std::uint64_t layer2SegmentId;
    std::uint32_t sourceIPv4Address;
    std::uint32_t destinationIPv4Address;
    std::uint32_t ingressInterface;
    std::uint32_t egressInterface;
    std::uint32_t ingressVRFID;
    std::uint16_t sourceTransportPort;
    std::uint16_t destinationTransportPort;
    std::uint16_t vlanId;
    std::uint16_t tcpControlBits;
    std::uint8_t protocolIdentifier;
    std::uint8_t ipClassOfService;
    std::uint8_t flowEndReason;
    std::uint8_t padding[1];
};
static_assert(sizeof(Ipv4Record) == 72, "the IPv4 internal template describes every byte");

struct Ipv6Record {
    std::uint64_t octetDeltaCount;
    std::uint64_t packetDeltaCount;
    std::uint64_t flowStartMilliseconds;
    std::uint64_t flowEndMilliseconds;
    std::uint64_t layer2SegmentId;
    std::uint8_t sourceIPv6Address[16];
    std::uint8_t destinationIPv6Address[16];
    std::uint32_t ingressInterface;
    std::uint32_t egressInterface;
    std::uint32_t ingressVRFID;
    std::uint32_t flowLabelIPv6;
    std::uint16_t sourceTransportPort;
    std::uint16_t destinationTransportPort;
    std::uint16_t vlanId;
    std::uint16_t tcpControlBits;
    std::uint8_t protocolIdentifier;
    std::uint8_t ipClassOfService;
    std::uint8_t flowEndReason;
    std::uint8_t padding[5];
};
static_assert(sizeof(Ipv6Record) == 104, "the IPv6 internal template describes every byte");

// The flag of the elements only the internal templates have (the padding).
constexpr std::uint32_t internalOnly = 1;

struct Element {
    const char* name;
    std::uint16_t length;
    std::uint32_t flags;
};

const std::vector<Element> ipv4Elements = {
    {"octetDeltaCount", 8, 0},
    {"packetDeltaCount", 8, 0},
    {"flowStartMilliseconds", 8, 0},
    {"flowEndMilliseconds", 8, 0},
    {"layer2SegmentId", 8, 0},
    {"sourceIPv4Address", 4, 0},
    {"destinationIPv4Address", 4, 0},
    {"ingressInterface", 4, 0},
    {"egressInterface", 4, 0},
    {"ingressVRFID", 4, 0},
    {"sourceTransportPort", 2, 0},
    {"destinationTransportPort", 2, 0},
    {"vlanId", 2, 0},
    {"tcpControlBits", 2, 0},
    {"protocolIdentifier", 1, 0},
    {"ipClassOfService", 1, 0},
    {"flowEndReason", 1, 0},
    {"paddingOctets", 1, internalOnly},
};

const std::vector<Element> ipv6Elements = {
    {"octetDeltaCount", 8, 0},
    {"packetDeltaCount", 8, 0},
    {"flowStartMilliseconds", 8, 0},
    {"flowEndMilliseconds", 8, 0},
    {"layer2SegmentId", 8, 0},
    {"sourceIPv6Address", 16, 0},
    {"destinationIPv6Address", 16, 0},
    {"ingressInterface", 4, 0},
    {"egressInterface", 4, 0},
    {"ingressVRFID", 4, 0},
    {"flowLabelIPv6", 4, 0},
    {"sourceTransportPort", 2, 0},
    {"destinationTransportPort", 2, 0},
    {"vlanId", 2, 0},
    {"tcpControlBits", 2, 0},
    {"protocolIdentifier", 1, 0},
    {"ipClassOfService", 1, 0},
    {"flowEndReason", 1, 0},
    {"paddingOctets", 5, internalOnly},
};

// Takes over a GError: its message, or `fallback` when libfixbuf gave none.
std::string errorText(GError* error, const char* fallback) {
    std::string text = error != nullptr && error->message != nullptr ? error->message : fallback;
    if (error != nullptr) g_clear_error(&error);
    return text;
}

fbTemplate_t* templateOf(fbInfoModel_t* model, const std::vector<Element>& elements,
                         bool internal) {
    std::vector<fbInfoElementSpec_t> specs;
    for (const Element& e : elements) {
        specs.push_back({const_cast<char*>(e.name), e.length, e.flags});
    }
    specs.push_back(FB_IESPEC_NULL);
    fbTemplate_t* tmpl = fbTemplateAlloc(model);
    GError* error = nullptr;
    if (!fbTemplateAppendSpecArray(tmpl, specs.data(), internal ? internalOnly : 0, &error)) {
        fbTemplateFreeUnused(tmpl);
        Basalt::InvalidInitializeException::throwException(
            "IPFIX template: " + errorText(error, "unknown information element"));
    }
    return tmpl;
}

// Splits HOST:PORT or [ADDRESS]:PORT.
bool splitHostPort(const std::string& text, std::string& host, std::string& port) {
    std::size_t colon;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
        if (host.find(':') != std::string::npos) return false;  // an IPv6 address needs []
    }
    port = text.substr(colon + 1);
    return !host.empty() && !port.empty();
}

bool isEndOfMessage(const GError* error) {
    return error != nullptr && g_error_matches(error, FB_ERROR_DOMAIN, FB_ERROR_EOM);
}

}  // namespace

IpfixExporter::IpfixExporter(std::string name, const IpfixOptions& options, bool udp)
    : name_(std::move(name)),
      options_(options),
      udp_(udp),
      // A UDP message fits an Ethernet frame with IPv6 and UDP headers, so it is never
      // fragmented; a file takes messages of the format's largest size.
      message_(udp ? 1400 : 65535) {}

std::unique_ptr<IpfixExporter> IpfixExporter::toFile(const std::string& path,
                                                     const IpfixOptions& options) {
    std::unique_ptr<IpfixExporter> sink(new IpfixExporter("IPFIX file " + path, options, false));
    sink->file_ = std::fopen(path.c_str(), "wb");
    if (sink->file_ == nullptr) {
        Basalt::InvalidInitializeException::throwException(
            fmt::format("cannot open IPFIX file {}: {}", path, std::strerror(errno)));
    }
    sink->open();
    return sink;
}

std::unique_ptr<IpfixExporter> IpfixExporter::toCollector(const std::string& collector,
                                                          const IpfixOptions& options) {
    std::string host, port;
    if (!splitHostPort(collector, host, port)) {
        Basalt::InvalidInitializeException::throwException(
            fmt::format("IPFIX collector {}: expected HOST:PORT or [ADDRESS]:PORT", collector));
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        Basalt::InvalidInitializeException::throwException(
            fmt::format("cannot resolve IPFIX collector {}: {}", collector, ::gai_strerror(rc)));
    }
    std::unique_ptr<IpfixExporter> sink(
        new IpfixExporter("IPFIX collector " + collector, options, true));
    int lastErrno = 0;
    for (const addrinfo* a = found; a != nullptr && sink->socket_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            sink->socket_ = fd;
        } else {
            lastErrno = errno;
            if (fd >= 0) ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (sink->socket_ < 0) {
        Basalt::InvalidInitializeException::throwException(fmt::format(
            "cannot reach IPFIX collector {}: {}", collector, std::strerror(lastErrno)));
    }
    sink->open();
    return sink;
}

void IpfixExporter::open() {
    model_ = fbInfoModelAlloc();
    fbSession_t* session = fbSessionAlloc(model_);
    fbSessionSetDomain(session, options_.observationDomainId);
    // The buffer owns the session and the exporter from here on. libfixbuf only encodes: each
    // emit copies the message into message_, and deliver() sends or writes it, so every
    // failure is seen here, with errno. The templates join the session at the first write, once
    // the export time is known: libfixbuf exports a template the moment it is added to a
    // session that has a buffer.
    buf_ = fBufAllocForExport(
        session,
        fbExporterAllocBuffer(message_.data(), static_cast<std::uint16_t>(message_.size())));
    // Manual mode: a full message is reported (FB_ERROR_EOM) instead of emitted behind our
    // back, so no message is encoded over one that was not delivered yet.
    fBufSetAutomaticMode(buf_, FALSE);
}

IpfixExporter::~IpfixExporter() {
    try {
        close();
    } catch (const std::exception&) {
        // A destructor reports nothing; close() before destruction to see the reason.
    }
}

template <class Step>
void IpfixExporter::orEmit(const char* what, Step step) {
    // In manual mode libfixbuf answers FB_ERROR_EOM also where it only closes a set (the first
    // template of a message, the first record after templates); the same step then succeeds
    // in the same message. A second FB_ERROR_EOM means the message is full.
    for (int attempt = 0;; ++attempt) {
        GError* error = nullptr;
        if (step(&error)) return;
        if (!isEndOfMessage(error) || attempt == 2) {
            throw Basalt::Exception(errorText(error, what));
        }
        g_clear_error(&error);
        if (attempt == 1) emit();
    }
}

void IpfixExporter::addTemplates() {
    // Every template is added once, whatever fails: adding one again would free the one the
    // session holds. The first failure is reported after the loop.
    fbSession_t* session = fBufGetSession(buf_);
    std::string failure;
    for (const auto& [id, elements] :
         {std::pair{ipv4TemplateId, &ipv4Elements}, std::pair{ipv6TemplateId, &ipv6Elements}}) {
        const auto templateId = id;  // a lambda may not capture a structured binding (clang 14)
        for (const bool internal : {true, false}) {
            try {
                fbTemplate_t* tmpl = templateOf(model_, *elements, internal);
                try {
                    orEmit("template not added", [&](GError** error) {
                        return fbSessionAddTemplate(session, internal, templateId, tmpl, error) !=
                               0;
                    });
                } catch (const std::exception&) {
                    fbTemplateFreeUnused(tmpl);
                    throw;
                }
            } catch (const std::exception& e) {
                if (failure.empty()) failure = e.what();
            }
        }
    }
    if (!failure.empty()) throw Basalt::Exception(failure);
}

void IpfixExporter::templatesAreDue() {
    const bool due =
        !templatesSent_ || templatesLost_ ||
        (udp_ && (messages_ - messagesAtTemplates_ >= options_.templateRefreshMessages ||
                  exportTime_ - templatesTime_ >= options_.templateRefreshSeconds));
    if (!due) return;
    const bool first = !templatesSent_;
    templatesSent_ = true;
    templatesLost_ = false;
    templatesTime_ = exportTime_;
    messagesAtTemplates_ = messages_;
    if (first) {
        // Adding them exports them into the current message, ahead of its records.
        templatesInMessage_ = true;
        addTemplates();
        return;
    }
    // A refresh is a message of its own: libfixbuf leaves its template set open for records
    // of the export template it had before, which would land inside the set.
    orEmit("templates not exported", [this](GError** error) {
        return fbSessionExportTemplates(fBufGetSession(buf_), error);
    });
    templatesInMessage_ = true;
    emit();
    fBufSetExportTime(buf_, exportTime_);
}

void IpfixExporter::write(const FlowFields& f) {
    if (buf_ == nullptr) throw Basalt::Exception("write after close");
    exportTime_ = std::max(exportTime_, static_cast<std::uint32_t>(f.flowEndMilliseconds / 1000));
    std::string templateFailure;
    if (!pending_) {
        // The next message starts here: stamp it with the export time, and put the templates
        // first when they are due, so that a collector can decode the message on its own.
        fBufSetExportTime(buf_, exportTime_);
        pending_ = true;
        try {
            templatesAreDue();
        } catch (const std::exception& e) {
            templateFailure = e.what();  // reported once the record is in
        }
    }
    const std::uint16_t id = f.ipv6 ? ipv6TemplateId : ipv4TemplateId;
    if (currentTemplate_ != id) {
        GError* error = nullptr;
        if (!fBufSetInternalTemplate(buf_, id, &error) ||
            !fBufSetExportTemplate(buf_, id, &error)) {
            throw Basalt::Exception("template: " + errorText(error, "not set"));
        }
        currentTemplate_ = id;
    }
    if (f.ipv6) {
        Ipv6Record r{};
        r.octetDeltaCount = f.octetDeltaCount;
        r.packetDeltaCount = f.packetDeltaCount;
        r.flowStartMilliseconds = f.flowStartMilliseconds;
        r.flowEndMilliseconds = f.flowEndMilliseconds;
        r.layer2SegmentId = f.layer2SegmentId;
        std::memcpy(r.sourceIPv6Address, f.sourceAddress.data(), 16);
        std::memcpy(r.destinationIPv6Address, f.destinationAddress.data(), 16);
        r.ingressInterface = f.ingressInterface;
        r.egressInterface = f.egressInterface;
        r.ingressVRFID = f.ingressVRFID;
        r.flowLabelIPv6 = f.flowLabelIPv6;
        r.sourceTransportPort = f.sourceTransportPort;
        r.destinationTransportPort = f.destinationTransportPort;
        r.vlanId = f.vlanId;
        r.tcpControlBits = f.tcpControlBits;
        r.protocolIdentifier = f.protocolIdentifier;
        r.ipClassOfService = f.ipClassOfService;
        r.flowEndReason = f.flowEndReason;
        append(reinterpret_cast<std::uint8_t*>(&r), sizeof r);
    } else {
        Ipv4Record r{};
        r.octetDeltaCount = f.octetDeltaCount;
        r.packetDeltaCount = f.packetDeltaCount;
        r.flowStartMilliseconds = f.flowStartMilliseconds;
        r.flowEndMilliseconds = f.flowEndMilliseconds;
        r.layer2SegmentId = f.layer2SegmentId;
        auto word = [](const std::array<std::uint8_t, 16>& b) {
            return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                   (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
        };
        r.sourceIPv4Address = word(f.sourceAddress);
        r.destinationIPv4Address = word(f.destinationAddress);
        r.ingressInterface = f.ingressInterface;
        r.egressInterface = f.egressInterface;
        r.ingressVRFID = f.ingressVRFID;
        r.sourceTransportPort = f.sourceTransportPort;
        r.destinationTransportPort = f.destinationTransportPort;
        r.vlanId = f.vlanId;
        r.tcpControlBits = f.tcpControlBits;
        r.protocolIdentifier = f.protocolIdentifier;
        r.ipClassOfService = f.ipClassOfService;
        r.flowEndReason = f.flowEndReason;
        append(reinterpret_cast<std::uint8_t*>(&r), sizeof r);
    }
    if (!templateFailure.empty()) throw Basalt::Exception(templateFailure);
}

void IpfixExporter::append(std::uint8_t* record, std::size_t size) {
    orEmit("record not appended",
           [&](GError** error) { return fBufAppend(buf_, record, size, error); });
}

void IpfixExporter::emit() {
    GError* error = nullptr;
    if (!fBufEmit(buf_, &error)) throw Basalt::Exception(errorText(error, "message not encoded"));
    ++messages_;
    const std::size_t length = fbExporterGetMsgLen(fBufGetExporter(buf_));
    const bool withTemplates = std::exchange(templatesInMessage_, false);
    if (udp_) {
        // One datagram per message. ECONNREFUSED reports the ICMP answer to an earlier
        // datagram and drops this one unsent; the socket stays usable, so this one is sent
        // again, and a collector that has started since receives it.
        ssize_t sent = ::send(socket_, message_.data(), length, 0);
        const int refused = sent < 0 && errno == ECONNREFUSED ? errno : 0;
        if (refused != 0) sent = ::send(socket_, message_.data(), length, 0);
        if (sent != static_cast<ssize_t>(length)) {
            // Lost with its templates, if it carried them: the next message carries them again.
            templatesLost_ = templatesLost_ || withTemplates;
            throw Basalt::Exception(fmt::format("send failed: {}", std::strerror(errno)));
        }
        if (refused != 0 && refusal_.empty()) {
            // Reported by the next flush(): the records of this message did go out.
            refusal_ =
                fmt::format("the collector refused an earlier message: {}", std::strerror(refused));
        }
    } else if (std::fwrite(message_.data(), 1, length, file_) != length ||
               std::fflush(file_) != 0) {
        throw Basalt::Exception(fmt::format("write failed: {}", std::strerror(errno)));
    }
}

void IpfixExporter::flush() {
    if (buf_ != nullptr && pending_) {
        pending_ = false;
        emit();
    }
    if (!refusal_.empty()) throw Basalt::Exception(std::exchange(refusal_, {}));
}

void IpfixExporter::close() {
    std::string failure;
    try {
        flush();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (buf_ != nullptr) fBufFree(buf_);  // also frees the session, templates and exporter
    buf_ = nullptr;
    if (model_ != nullptr) fbInfoModelFree(model_);
    model_ = nullptr;
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    if (file_ != nullptr && std::fclose(file_) != 0 && failure.empty()) {
        failure = fmt::format("close failed: {}", std::strerror(errno));
    }
    file_ = nullptr;
    if (!failure.empty()) throw Basalt::Exception(failure);
}

}  // namespace Flowtrack
