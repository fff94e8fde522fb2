#pragma once
// Timing servers: the list syntax as the engine reads it, one timed probe,
// the sampling and averaging rule, and /time_network.

#include <cstdint>

#include "product/product_interface.h"
#include "product/server_list.h"

constexpr uint32_t SAMPLE_FAILED = 0xFFFFFFFEu;
constexpr size_t kReturnedListSize = 1027;
// The status of a round that a stop of the engine cut short (ERROR_CANCELLED).
constexpr product::Status kRoundStopped = 1223;

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
};

// The records of one measured list.
struct MeasuredRound {
    TimedServer** servers = nullptr;
    int count = 0;
    product::Status status = 0;
};

product::Status ProbeServer(const char* server, const char* role, int level,
                            char* returnedList, uint32_t* elapsedMs);
void AverageSamples(TimedServer& record);
// The records of list (cut up in place), limits read, each with room for
// samples samples and nothing measured yet; kOutOfMemory leaves none.
MeasuredRound ParseRound(char* list, int samples);
// Parses list (modified in place), samples, averages and prints. A stop of
// the engine ends it before its next probe, with no records and kRoundStopped.
MeasuredRound MeasureRound(char* list, const char* role, int level, bool firstRound);
void FreeRound(MeasuredRound& round);
product::Status TimeNetwork(const char* list, const char* secondsText,
                            const char* pauseMsText);
