#pragma once

// The first failure a child process reports to its test, kept in memory the two share
// (SharedPage, or a field of a page): a child's body ends with `return report.fail("...")`, and
// the test prints report.text beside the child's exit status.
//
// Thread safety: written by one process, read by the test only after that process exited.

#include <cstdio>
#include <string>

namespace TestSupport {

struct ChildReport {
    char text[512];

    // Records `what` unless a failure is recorded already (the first one explains the rest);
    // always false.
    bool fail(const std::string& what) {
        if (text[0] == 0) std::snprintf(text, sizeof text, "%s", what.c_str());
        return false;
    }
};

}  // namespace TestSupport
