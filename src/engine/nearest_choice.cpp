#include "engine/nearest_choice.h"

#include <cstring>

#include "common/text.h"
#include "output/detail_lines.h"

namespace {

constexpr unsigned kMsgFastest = 90;
constexpr unsigned kMsgRandomPick = 91;
constexpr unsigned kMsgNameTooLong = 162;
constexpr unsigned kMsgNameCharacter = 163;
constexpr unsigned kMsgNameEmptyOrPeriod = 164;
constexpr uint32_t kNeverAnswered = 0xFFFFFFFFu;

// Why a server that answered in time is not taken: its name could carry what
// a computer name cannot into HPD.DAT, the registry or a remote path.
void ReportRefusedName(const char* name) {
    NameCheck check = CheckServerName(name);
    ShownText<> shown(name);
    switch (check.fault) {
    case NameFault::None: return;
    case NameFault::TooLong:
        PrintDetailMessage(kMsgNameTooLong, shown.get(), static_cast<int>(std::strlen(name)),
                           static_cast<int>(kLongestServerName));
        return;
    case NameFault::Character: {
        char character = static_cast<char>(check.character);
        PrintDetailMessage(kMsgNameCharacter, shown.get(),
                           ShownText<8>(std::string_view(&character, 1)).get());
        return;
    }
    case NameFault::Empty:
    case NameFault::LeadingPeriod: PrintDetailMessage(kMsgNameEmptyOrPeriod, shown.get()); return;
    }
}

}  // namespace

bool AnswersInTime(const TimedServer& server) {
    return server.validSamples > 0 && server.averageMs != SAMPLE_FAILED &&
           server.averageMs != kNeverAnswered && server.averageMs <= server.limitMs;
}

bool IsAcceptable(const TimedServer& server) {
    return AnswersInTime(server) && IsUsableServerName(server.name);
}

int ChooseBestServer(TimedServer* const* servers, int count, ChoiceVerdict* verdicts) {
    int best = -1;
    uint32_t bestAverage = kNeverAnswered;
    bool skipping = false;
    for (int i = 0; i < count; ++i) {
        TimedServer& server = *servers[i];
        ChoiceVerdict verdict = ChoiceVerdict::Skipped;
        // While a preferred server answers within its limit, the run of
        // servers it is preferred over is not considered.
        if (!skipping || servers[i - 1]->separator != '>') {
            skipping = false;
            bool acceptable = IsAcceptable(server);
            if (!acceptable && AnswersInTime(server)) ReportRefusedName(server.name);
            verdict = acceptable ? ChoiceVerdict::NotFaster : ChoiceVerdict::NotAcceptable;
            if (acceptable && server.averageMs < bestAverage) {
                best = i;
                bestAverage = server.averageMs;
                server.listIndex = i;
                verdict = ChoiceVerdict::BestSoFar;
                PrintDetailMessage(kMsgFastest, server.name, static_cast<int>(server.averageMs));
            }
            if (acceptable && server.separator == '>') skipping = true;
        }
        if (verdicts) verdicts[i] = verdict;
    }
    return best;
}

EqualGroup FindEqualGroup(TimedServer* const* servers, int count, int best) {
    int first = best;
    while (first > 0 && servers[first - 1]->separator == '=') --first;
    if (servers[first]->separator != '=') return {best, best, false};
    int last = first;
    while (last < count - 1 && servers[last]->separator == '=') ++last;
    return {first, last, true};
}

int ChooseInEqualGroup(TimedServer* const* servers, int count, int best,
                       const GroupChoiceSources& sources, void* context) {
    auto [first, last, isGroup] = FindEqualGroup(servers, count, best);
    if (!isGroup) return best;

    int acceptableCount = 0;
    bool anyUnknown = false;
    for (int i = first; i <= last; ++i) {
        TimedServer& member = *servers[i];
        if (!IsAcceptable(member)) {
            member.clientCount = CLIENTS_UNKNOWN;
            continue;
        }
        member.clientCount = KnownClientCount(sources.clientCount(member.name, context));
        ++acceptableCount;
        if (member.clientCount == CLIENTS_UNKNOWN) anyUnknown = true;
    }

    if (!anyUnknown) {
        int winner = -1;
        for (int i = first; i <= last; ++i) {
            if (!IsAcceptable(*servers[i])) continue;
            if (winner < 0 || servers[i]->clientCount < servers[winner]->clientCount) winner = i;
        }
        return winner;
    }

    // Without every count the load cannot be balanced; spread the clients at random.
    RandomSequence random(sources.calendarSeconds(context));
    int r = random.Next() % acceptableCount;
    int t = static_cast<int>(sources.calendarSeconds(context) %
                             static_cast<uint32_t>(acceptableCount));
    PrintDetailMessage(kMsgRandomPick, r, t);
    int pick = (r + t) % acceptableCount;
    for (int i = first; i <= last; ++i) {
        if (!IsAcceptable(*servers[i])) continue;
        if (pick-- == 0) return i;
    }
    return best;  // not reached: the best is an acceptable member
}
