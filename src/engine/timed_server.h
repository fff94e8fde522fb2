#pragma once
// The records of one measured list and the averaging rule. The search walks
// lists that servers publish, so these take no Windows header: they are built
// natively as well and fuzzed there with the walk and the choice.

#include <cstddef>
#include <cstdint>

#include "product/server_list.h"

constexpr uint32_t SAMPLE_FAILED = 0xFFFFFFFEu;
constexpr size_t kReturnedListSize = 1027;
// The status of a round that a stop of the engine cut short (ERROR_CANCELLED).
constexpr uint32_t kRoundStopped = 1223;
// The status of a round whose records could not be allocated.
constexpr uint32_t kRoundOutOfMemory = 0x20000002;

struct TimedServer {
    char* name;
    int32_t samplesTaken;
    int32_t validSamples;
    int32_t listIndex;
    int32_t clientCount;
    uint32_t averageMs;
    uint32_t limitMs;
    char separator;
    char returnedList[kReturnedListSize];
    uint32_t* samples;  // TimesToAverage entries
    // The reply that filled returnedList ran past what a reply carries, and
    // its last, partial entry was dropped.
    bool returnedListCut;
};

// The records of one measured list.
struct MeasuredRound {
    TimedServer** servers = nullptr;
    int count = 0;
    uint32_t status = 0;
};

void AverageSamples(TimedServer& record);
// The records of list (cut up in place), each with room for samples samples
// and nothing measured yet; with readLimits the "(N)" after a name is its
// limit, else part of the name. kRoundOutOfMemory leaves none.
MeasuredRound ParseList(char* list, int samples, bool readLimits);
inline MeasuredRound ParseRound(char* list, int samples) { return ParseList(list, samples, true); }
void FreeRound(MeasuredRound& round);
