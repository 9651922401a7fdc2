#pragma once

#include <cstdio>
#include <string>

#include "tools/flowtrack/Exporter.h"

namespace Flowtrack {

// Writes each flow as one JSON object on its own line, with the fields named as their IPFIX
// information elements (sourceIPv4Address or sourceIPv6Address, ..., flowEndReason), addresses
// as text, counts and times (milliseconds since the epoch) as numbers. flush() hands the lines
// written so far to the file, so a reader of the file sees whole lines only.
class JsonExporter : public FlowSink {
  public:
    // Creates or truncates `path`; InvalidInitializeException with the reason when it cannot.
    explicit JsonExporter(const std::string& path);
    ~JsonExporter() override;

    const std::string& name() const override { return name_; }
    void write(const FlowFields& flow) override;
    void flush() override;
    void close() override;

    // The line write() appends for `flow`, without its newline.
    static std::string line(const FlowFields& flow);

  private:
    std::string name_;
    std::FILE* file_ = nullptr;
};

}  // namespace Flowtrack
