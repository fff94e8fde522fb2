#include "engine/level_walk.h"

#include <memory>
#include <new>

#include "common/text.h"
#include "engine/nearest.h"
#include "output/detail_lines.h"

namespace {

constexpr unsigned kMsgDeepestLevel = 161;

// The records of one level, freed on every way out of the level.
class RoundOwner {
public:
    explicit RoundOwner(MeasuredRound round) : round_(round) {}
    ~RoundOwner() { FreeRound(round_); }
    RoundOwner(const RoundOwner&) = delete;
    RoundOwner& operator=(const RoundOwner&) = delete;
    const MeasuredRound& get() const { return round_; }

private:
    MeasuredRound round_;
};

void Tell(const LevelWalkSources& sources, const MeasuredRound& round,
          const ChoiceVerdict* verdicts, int level, int best, int winner) {
    if (sources.chosen) sources.chosen(round, verdicts, level, best, winner, sources.context);
}

}  // namespace

uint32_t WalkServerLevels(char* list, const char* role, const LevelWalkSources& sources,
                          char* nameOut) {
    char result[kServerNameSize] = "";
    uint32_t code = 0;
    // Each chosen server's own list narrows the choice further; the walk ends
    // at a server that publishes no list, or at a level with nothing acceptable.
    for (int level = 1;; ++level) {
        RoundOwner round(sources.measure(list, role, level, level == 1, sources.context));
        const MeasuredRound& measured = round.get();
        code = measured.status;
        // Only an observer wants the verdicts; the search keeps its memory.
        std::unique_ptr<ChoiceVerdict[]> verdicts;
        if (sources.chosen && measured.count > 0)
            verdicts.reset(new (std::nothrow) ChoiceVerdict[static_cast<size_t>(measured.count)]);
        const ChoiceVerdict* seen = verdicts.get();
        int best = ChooseBestServer(measured.servers, measured.count, verdicts.get());
        if (best < 0) {  // the winner of the level above stands
            Tell(sources, measured, seen, level, -1, -1);
            break;
        }

        const TimedServer& chosen = *measured.servers[best];
        CopyText(result, chosen.name);
        if (chosen.returnedList[0]) {
            Tell(sources, measured, seen, level, best, best);
            if (level >= kDeepestListLevel) {
                PrintDetailMessage(kMsgDeepestLevel, level, result, level + 1);
                break;
            }
            // The records point into list: they are not looked at after this.
            CopyText(list, kListSize, chosen.returnedList);
            continue;
        }
        int winner = ChooseInEqualGroup(measured.servers, measured.count, best, *sources.group,
                                        sources.context);
        CopyText(result, measured.servers[winner]->name);
        Tell(sources, measured, seen, level, best, winner);
        break;
    }
    CopyText(nameOut, kServerNameSize, result);
    return code;
}
