#pragma once

// The processes of one test (a writer, its readers, a scenario): each runs a body with its own
// ChildReport in memory they all share, and the test waits for them (each wait bounded by
// Child::wait) and prints the first failure of whichever process failed, by name. A body that
// throws fails with the exception's text.
//
// Thread safety: one test thread starts and waits; each report is written by its process only
// and read after that process ended.

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildReport.h"
#include "tests/support/Fork.h"
#include "tests/support/SharedPage.h"

namespace TestSupport {

class Processes {
  public:
    static constexpr std::size_t most = 8;

    // Forks process `name` running body(its report); returns its index.
    std::size_t start(std::string name, std::function<bool(ChildReport&)> body) {
        const std::size_t i = children_.size();
        if (i == most) throw std::logic_error("Processes: more than " + std::to_string(most));
        ChildReport& report = (*reports_)[i];
        auto run = [&report, body = std::move(body)] {
            try {
                return body(report);
            } catch (const std::exception& e) {
                return report.fail(std::string("exception ") + e.what());
            }
        };
        children_.emplace_back(std::move(name), std::make_unique<Child>(std::move(run)));
        return i;
    }

    Child& child(std::size_t i) { return *children_.at(i).second; }
    ChildReport& report(std::size_t i) { return (*reports_)[i]; }

    // Waits for process i: "" when it ended with `expected`, else its name, its exit status and
    // its first failure.
    std::string wait(std::size_t i, int expected = 0) {
        const int rc = child(i).wait();
        if (rc == expected) return "";
        return children_[i].first + " (exit status " +
               (rc == Child::timedOut ? std::string("none, killed at the bound")
                                      : std::to_string(rc)) +
               "): " + report(i).text;
    }

    // Waits for every process in start order; the first failure, or "".
    std::string waitAll() {
        std::string first;
        for (std::size_t i = 0; i < children_.size(); ++i) {
            const std::string failure = wait(i);
            if (first.empty()) first = failure;
        }
        return first;
    }

    // The handshake of a run: `ready` when a table is set up, `go` to start the steps.
    Signal ready, go;

  private:
    SharedPage<std::array<ChildReport, most>> reports_;
    std::vector<std::pair<std::string, std::unique_ptr<Child>>> children_;
};

}  // namespace TestSupport
