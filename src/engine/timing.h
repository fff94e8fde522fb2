#pragma once
// Timing servers: the list syntax as the engine reads it, one timed probe,
// the sampling and averaging rule, and /time_network.

#include <cstdint>

#include "product/product_interface.h"
#include "engine/timed_server.h"

static_assert(kReplyTextRoom == product::kListBlockSize - product::kReplyHeaderSize -
                                    product::kReplyTypeSize,
              "a reply's list ends where the value's type word begins");
static_assert(kRoundOutOfMemory == product::kOutOfMemory);

// listCut, when given, tells whether the reply was cut inside the list (its
// partial last entry is not in returnedList).
product::Status ProbeServer(const char* server, const char* role, int level,
                            char* returnedList, uint32_t* elapsedMs, bool* listCut = nullptr);
// Parses list (modified in place), samples, averages and prints. A stop of
// the engine ends it before its next probe, with no records and kRoundStopped.
MeasuredRound MeasureRound(char* list, const char* role, int level, bool firstRound);
product::Status TimeNetwork(const char* list, const char* secondsText,
                            const char* pauseMsText);
