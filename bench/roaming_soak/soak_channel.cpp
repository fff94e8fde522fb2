#include "soak_channel.h"

#include <cstdio>

#include "harness/harness.h"
#include "soak_network.h"

namespace soak {
namespace {

constexpr unsigned kMsgSearchStart = 85;
constexpr unsigned kMsgProbe = 87;
constexpr unsigned kMsgFound = 95;
constexpr unsigned kMsgNotFound = 147;
// The takeovers' results of the roaming roles: parent, quarantine, alerts.
constexpr struct {
    unsigned id;
    bool succeeded;
} kResults[] = {{96, true}, {97, false}, {98, true}, {104, true}, {105, false}};
constexpr size_t kRecentLines = 400;

std::string RoleOfText(const std::string& roleText) {
    for (const RoamingRole& role : kRoamingRoles)
        if (roleText == role.roleText) return role.word;
    return roleText;
}

std::regex Pattern(unsigned id) { return std::regex(e2e::MessagePattern(id)); }

}  // namespace

bool Channel::Start(std::string* error) {
    if (!patternsReady_) {
        searchStart_ = Pattern(kMsgSearchStart);
        found_ = Pattern(kMsgFound);
        notFound_ = Pattern(kMsgNotFound);
        probe_ = Pattern(kMsgProbe);
        for (const auto& result : kResults) results_.emplace_back(Pattern(result.id), result.succeeded);
        patternsReady_ = true;
    }
    return monitor_.Start(error);
}

void Channel::Poll() {
    for (const lab::DebugLine& taken : monitor_.TakeLines()) {
        Line line{taken.arrivalMs, taken.processId, e2e::Crlf(taken.text)};
        Read(line);
        recent_.push_back(std::move(line));
        if (recent_.size() > kRecentLines) recent_.pop_front();
    }
}

void Channel::Read(const Line& line) {
    std::smatch match;
    if (std::regex_search(line.text, match, searchStart_)) {
        starts_.push_back(line.atMs);
        return;
    }
    if (std::regex_search(line.text, match, found_)) {
        pendingRole_ = RoleOfText(match[1].str());
        pendingFound_ = match[2].str();
        return;
    }
    if (std::regex_search(line.text, match, notFound_)) {
        ends_.push_back({RoleOfText(match[1].str()), "", line.atMs, false});
        pendingRole_.clear();
        return;
    }
    if (pendingRole_.empty()) return;
    for (const auto& [pattern, succeeded] : results_) {
        if (!std::regex_search(line.text, match, pattern)) continue;
        ends_.push_back({pendingRole_, pendingFound_, line.atMs, succeeded});
        pendingRole_.clear();
        return;
    }
}

double Channel::FirstSearchStartAfter(double atMs) const {
    for (double start : starts_)
        if (start >= atMs) return start;
    return 0;
}

bool Channel::SearchingAt(double atMs) const {
    double lastStart = 0, lastEnd = 0;
    for (double start : starts_)
        if (start <= atMs) lastStart = start;
    for (const SearchEnd& end : ends_)
        if (end.atMs <= atMs) lastEnd = end.atMs;
    return lastStart > lastEnd;
}

std::string Channel::Recent(size_t count, double originMs) const {
    std::string text;
    std::vector<size_t> shown;
    for (size_t i = recent_.size(); i-- > 0 && shown.size() < count;) {
        const std::string& text = recent_[i].text;
        bool blank = text.find_first_not_of(" -0123456789\r\n") == std::string::npos;
        if (!blank && !std::regex_search(text, probe_)) shown.insert(shown.begin(), i);
    }
    for (size_t i : shown) {
        char head[64];
        std::snprintf(head, sizeof head, "  %9.1f s  %5lu: ", (recent_[i].atMs - originMs) / 1000,
                      recent_[i].processId);
        std::string body = recent_[i].text;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
        for (char& c : body)
            if (c == '\r' || c == '\n') c = ' ';
        text += head + body + "\n";
    }
    return text;
}

}  // namespace soak
