// Timing servers: one timed probe, the sampling rounds of a search, and the
// repeated timing of /time_network.

#include "engine/timing.h"

#include <cstring>
#include <ctime>
#include <new>

#include "common/text.h"
#include "platform/stop_request.h"
#include "product/server_list.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"
#include "product/server_registry.h"

namespace {

constexpr unsigned kMsgStartsFrom = 85;
constexpr unsigned kMsgProbeOk = 87;
constexpr unsigned kMsgProbeFailed = 88;
constexpr unsigned kMsgAverage = 89;
constexpr unsigned kMsgTimingPass = 94;

constexpr DWORD kDefaultTimesToAverage = 7;
constexpr char kServerListKey[] = "ProductControl";
constexpr size_t kValueNameSize = 128;
// Message 94 always shows this many samples.
constexpr int kShownSamples = 7;
// No sample array may be larger than a 32-bit process could ever allocate,
// so both builds refuse the same TimesToAverage.
constexpr uint64_t kMaxSampleBytes = 0x7FFFFFFF;

int TimesToAverage() {
    return static_cast<int32_t>(
        GetDwordValue(Keys.ProductControl, "TimesToAverage", kDefaultTimesToAverage));
}

TimedServer* NewRecord(int samples) {
    TimedServer* record = new (std::nothrow) TimedServer{};
    if (!record || samples <= 0) return record;
    if (static_cast<uint64_t>(samples) * sizeof(uint32_t) > kMaxSampleBytes) {
        delete record;
        return nullptr;
    }
    // Each sample is written before it is read (samplesTaken bounds the reads).
    record->samples = new (std::nothrow) uint32_t[static_cast<size_t>(samples)];
    if (!record->samples) {
        delete record;
        return nullptr;
    }
    return record;
}

void DeleteRecords(TimedServer** servers, int count) {
    if (!servers) return;
    for (int i = 0; i < count; ++i) {
        if (!servers[i]) continue;
        delete[] servers[i]->samples;
        delete servers[i];
    }
    delete[] servers;
}

// One record per entry of list (cut up in place); false when memory ran out,
// with nothing left allocated.
bool BuildRecords(char* list, int samples, bool readLimits, TimedServer*** serversOut,
                  int* countOut) {
    *serversOut = nullptr;
    *countOut = 0;
    int count = CountListEntries(list);
    if (count == 0) return true;
    TimedServer** servers = new (std::nothrow) TimedServer*[static_cast<size_t>(count)]();
    if (!servers) return false;
    char* cursor = list;
    int built = 0;
    ListEntry entry;
    while (built < count && TakeListEntry(&cursor, entry, readLimits)) {
        TimedServer* record = NewRecord(samples);
        if (!record) {
            DeleteRecords(servers, count);
            return false;
        }
        record->name = entry.name;
        record->limitMs = entry.limitMs;
        record->separator = entry.separator;
        servers[built++] = record;
    }
    *serversOut = servers;
    *countOut = built;
    return true;
}

void PrintIndentation(int level) {
    for (int i = 0; i < level; ++i) PrintMessage("  ", nullptr, true);
}

}  // namespace

product::Status ProbeServer(const char* server, const char* role, int level,
                            char* returnedList, uint32_t* elapsedMs) {
    char valueName[kValueNameSize];
    FormatText(valueName, "RoamManaging%sLevel%d", role, level);
    // The name, its terminator and the empty name that ends the request.
    uint8_t block[product::kListBlockSize] = {};
    CopyText(reinterpret_cast<char*>(block), sizeof block - 1, valueName);

    returnedList[0] = '\0';
    uint32_t start = ClockMs();
    product::Status status = product::kLibraryUnavailable;
    if (Product.ReadServerValues) {
        uint32_t count = 1;
        status = Product.ReadServerValues(server, kServerListKey, block, 0, &count);
    }
    if (status == 0) {
        // The length is the server's word; the copy never trusts it beyond
        // the block's data or the caller's buffer.
        size_t length = block[0] | (static_cast<size_t>(block[1]) << 8);
        if (length > product::kReplyListSize) length = product::kReplyListSize;
        if (length > kListSize - 1) length = kListSize - 1;
        std::memcpy(returnedList, block + product::kReplyHeaderSize, length);
        returnedList[length] = '\0';
    }
    *elapsedMs = ElapsedMs(start, ClockMs());
    return status;
}

void AverageSamples(TimedServer& record) {
    uint32_t sum = 0;
    uint32_t count = 0;
    for (int32_t i = 0; i < record.samplesTaken; ++i) {
        if (record.samples[i] == SAMPLE_FAILED) continue;
        sum += record.samples[i];
        ++count;
    }
    if (count == 0) {
        record.averageMs = SAMPLE_FAILED;
        record.validSamples = 0;
        return;
    }
    uint32_t average = sum / count;
    // An exact half is not rounded up.
    if (sum % count > count / 2.0) ++average;
    record.averageMs = average;
    record.validSamples = static_cast<int32_t>(count);
}

MeasuredRound ParseRound(char* list, int samples) {
    MeasuredRound round;
    if (!BuildRecords(list, samples, true, &round.servers, &round.count))
        round.status = product::kOutOfMemory;
    return round;
}

MeasuredRound MeasureRound(char* list, const char* role, int level, bool firstRound) {
    int samples = TimesToAverage();
    MeasuredRound round = ParseRound(list, samples);
    if (round.count == 0) return round;

    char returned[kListSize];
    if (firstRound) {
        uint32_t ignored = 0;
        round.status = ProbeServer(round.servers[0]->name, role, level, returned, &ignored);
    }
    for (int j = 0; j < samples; ++j) {
        for (int i = 0; i < round.count; ++i) {
            // Against dead servers every probe lasts the library's time-out:
            // a stop ends the round at the next probe instead of after all of
            // them, and the round, cut short, names no server.
            if (EngineStopRequested()) {
                FreeRound(round);
                round.status = kRoundStopped;
                return round;
            }
            TimedServer& server = *round.servers[i];
            uint32_t& sample = server.samples[j];
            round.status = ProbeServer(server.name, role, level, returned, &sample);
            PrintIndentation(level);
            if (round.status == 0) {
                PrintMessageId(kMsgProbeOk, nullptr, true, j, server.name, level,
                               static_cast<int>(sample), 0u, returned);
                CopyText(server.returnedList, returned);
            } else {
                PrintMessageId(kMsgProbeFailed, nullptr, true, j, server.name, level,
                               static_cast<int>(sample), static_cast<unsigned>(round.status));
                sample = SAMPLE_FAILED;
            }
            server.samplesTaken = j + 1;
        }
    }
    for (int i = 0; i < round.count; ++i) {
        TimedServer& server = *round.servers[i];
        AverageSamples(server);
        PrintMessageId(kMsgAverage, nullptr, true, server.name,
                       static_cast<int>(server.averageMs), server.separator);
    }
    return round;
}

void FreeRound(MeasuredRound& round) {
    DeleteRecords(round.servers, round.count);
    round.servers = nullptr;
    round.count = 0;
}

product::Status TimeNetwork(const char* list, const char* secondsText,
                            const char* pauseMsText) {
    char working[kListSize];
    CopyText(working, list);
    PrintMessageId(kMsgStartsFrom, nullptr, true, working);

    int32_t seconds = ReadDecimal(secondsText);
    int32_t pauseMs = ReadDecimal(pauseMsText);
    int samples = TimesToAverage();
    MeasuredRound records;
    if (!BuildRecords(working, samples, false, &records.servers, &records.count))
        return product::kOutOfMemory;
    // Nothing to time: the passes would print nothing and only wait (or spin,
    // with no pause) until the time is up.
    if (records.count == 0) return 0;

    product::Status status = 0;
    char returned[kListSize];
    int64_t start = static_cast<int64_t>(std::time(nullptr));
    int64_t end = start + seconds;
    while (static_cast<int64_t>(std::time(nullptr)) < end) {
        for (int j = 0; j < samples; ++j) {
            for (int i = 0; i < records.count; ++i) {
                TimedServer& server = *records.servers[i];
                uint32_t& sample = server.samples[j];
                status = ProbeServer(server.name, "Parent", 0, returned, &sample);
                if (status == 0) {
                    CopyText(server.returnedList, returned);
                } else {
                    PrintMessageId(kMsgProbeFailed, nullptr, true, j, server.name, 0,
                                   static_cast<int>(sample), static_cast<unsigned>(status));
                    sample = SAMPLE_FAILED;
                }
                server.samplesTaken = j + 1;
            }
        }
        int elapsed = static_cast<int>(static_cast<int64_t>(std::time(nullptr)) - start);
        for (int i = 0; i < records.count; ++i) {
            TimedServer& server = *records.servers[i];
            AverageSamples(server);
            // Fields beyond the samples taken show the failed-sample mark.
            int shown[kShownSamples];
            for (int k = 0; k < kShownSamples; ++k)
                shown[k] = static_cast<int>(k < samples ? server.samples[k] : SAMPLE_FAILED);
            PrintMessageId(kMsgTimingPass, nullptr, true, elapsed, server.name,
                           static_cast<int>(server.averageMs), server.separator, shown[0],
                           shown[1], shown[2], shown[3], shown[4], shown[5], shown[6]);
        }
        if (pauseMs > 0) Sleep(static_cast<DWORD>(pauseMs));
    }
    FreeRound(records);
    return status;
}
