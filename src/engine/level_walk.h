#pragma once
// The walk down the levels of a role's server lists: every level is measured,
// its best acceptable server is followed into the list it publishes, and at
// the final level its "=" group is balanced. The search measures by probing
// the network; a plan measures from a table of latencies through this same
// walk, so that both choose alike.

#include "engine/nearest_choice.h"
#include "engine/timed_server.h"

struct LevelWalkSources {
    // The records of one level: one per entry of list (which it may cut up in
    // place), averaged, each with the list its server publishes one level down.
    MeasuredRound (*measure)(char* list, const char* role, int level, bool firstRound,
                             void* context);
    // Asked with context.
    const GroupChoiceSources* group;
    // Told about every level once it is chosen (best and winner -1 when nothing
    // was acceptable; winner differs from best only at the final level, where
    // the "=" group decides), with how the choice saw each record; may be null.
    void (*chosen)(const MeasuredRound& round, const ChoiceVerdict* verdicts, int level, int best,
                   int winner, void* context);
    void* context;
};

// Walks from a level-0 list (a kListSize buffer, reused level by level) down
// to the winner, which goes into nameOut (kServerNameSize bytes; empty when
// level 1 had nothing acceptable). Returns the status of the last round. The
// walk measures kDeepestListLevel levels at most: there the best server
// stands, whatever it publishes below (a detail line says so).
uint32_t WalkServerLevels(char* list, const char* role, const LevelWalkSources& sources,
                                 char* nameOut);
