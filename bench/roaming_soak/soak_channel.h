#pragma once
// The program's debugger-channel lines, as the soak reads them: where each
// role's search ended and with what, when searches began, and the recent
// lines for a report.

#include <deque>
#include <regex>
#include <string>
#include <vector>

#include "debug_monitor.h"

namespace soak {

struct SearchEnd {
    std::string role;   // a word of the role table
    std::string found;  // "" when nothing was found
    double atMs = 0;    // arrival of the takeover's result line (or of "not found")
    bool tookOver = false;
};

class Channel {
public:
    bool Start(std::string* error);
    // Takes the lines that arrived since the last call.
    void Poll();
    const std::vector<SearchEnd>& Ends() const { return ends_; }
    // Arrival of the first search start (message 85) at or after atMs; 0 when none.
    double FirstSearchStartAfter(double atMs) const;
    // Whether a role's search was under way at atMs: begun, not yet ended.
    bool SearchingAt(double atMs) const;
    // The last lines but the probes', oldest first, each with its arrival
    // relative to originMs.
    std::string Recent(size_t count, double originMs) const;

private:
    struct Line {
        double atMs;
        unsigned long processId;
        std::string text;
    };
    void Read(const Line& line);
    lab::DebugMonitor monitor_;
    std::deque<Line> recent_;
    std::vector<SearchEnd> ends_;
    std::vector<double> starts_;
    std::string pendingRole_;
    std::string pendingFound_;
    bool patternsReady_ = false;
    std::regex searchStart_, found_, notFound_, probe_;
    std::vector<std::pair<std::regex, bool>> results_;  // a takeover's result, whether it succeeded
};

}  // namespace soak
