#pragma once
// The choice among the measured servers of one level: the preference (">")
// and equal-group ("=") rules, and the random pick between equal servers.
// Kept apart from the search so the rules can be tried on hand-built records;
// it takes no Windows header, so that it is fuzzed natively with the walk.

#include <cstdint>

#include "engine/nearest.h"
#include "engine/timed_server.h"

// Answered within its limit with at least one good sample.
bool AnswersInTime(const TimedServer& server);
// Answers in time and has a name a computer can have (IsUsableServerName).
bool IsAcceptable(const TimedServer& server);

// How the choice of a level saw one record: passed over because a server
// before it is preferred (">") and acceptable, not acceptable, acceptable but
// not faster than the best so far, or the best so far (message 90).
enum class ChoiceVerdict { Skipped, NotAcceptable, NotFaster, BestSoFar };

// The best server of a level in list order, or -1 when none is acceptable.
// Prints message 90 for every record that becomes the best so far, and why a
// record that answered in time is refused for its name. With verdicts (count
// entries), tells how each record was seen.
int ChooseBestServer(TimedServer* const* servers, int count,
                     ChoiceVerdict* verdicts = nullptr);

// The generator behind the random pick: state = state * 214013 + 2531011,
// next = (state >> 16) & 0x7FFF.
class RandomSequence {
public:
    explicit RandomSequence(uint32_t seed) : state_(seed) {}
    int Next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFF);
    }

private:
    uint32_t state_;
};

// Where the equal-group rule gets what it does not measure itself; context
// is the caller's, handed to both.
struct GroupChoiceSources {
    // The server's published client count, CLIENTS_UNKNOWN when unreadable.
    int32_t (*clientCount)(const char* server, void* context);
    // The calendar time in seconds.
    uint32_t (*calendarSeconds)(void* context);
};

// A published client count as the choice takes it: a count is a number of
// clients, so one with the top bit set (negative as the comparison reads it,
// CLIENTS_UNKNOWN among them) is none a server can have, and would win its
// group or force the draw at the server's will: it counts as unknown.
inline int32_t KnownClientCount(int32_t published) {
    return published < 0 ? CLIENTS_UNKNOWN : published;
}

// The "=" group around the best record: the records first..last that the
// final level balances. Without a "=" before or after it the best stands
// alone (isGroup false, first == last == best).
struct EqualGroup {
    int first;
    int last;
    bool isGroup;
};
EqualGroup FindEqualGroup(TimedServer* const* servers, int count, int best);

// The winner of the final level, given the best record: the best itself, or
// the member of its "=" group with the fewest clients, or a random member
// when a count is unknown (message 91). Fills clientCount of the members,
// each as KnownClientCount takes it.
int ChooseInEqualGroup(TimedServer* const* servers, int count, int best,
                       const GroupChoiceSources& sources, void* context = nullptr);
