#include "engine/timed_server.h"

#include <new>

namespace {

// No sample array may be larger than a 32-bit process could ever allocate,
// so both builds refuse the same TimesToAverage.
constexpr uint64_t kMaxSampleBytes = 0x7FFFFFFF;

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

}  // namespace

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

MeasuredRound ParseList(char* list, int samples, bool readLimits) {
    MeasuredRound round;
    int count = CountListEntries(list);
    if (count == 0) return round;
    TimedServer** servers = new (std::nothrow) TimedServer*[static_cast<size_t>(count)]();
    if (!servers) {
        round.status = kRoundOutOfMemory;
        return round;
    }
    char* cursor = list;
    int built = 0;
    ListEntry entry;
    while (built < count && TakeListEntry(&cursor, entry, readLimits)) {
        TimedServer* record = NewRecord(samples);
        if (!record) {
            DeleteRecords(servers, count);
            round.status = kRoundOutOfMemory;
            return round;
        }
        record->name = entry.name;
        record->limitMs = entry.limitMs;
        record->separator = entry.separator;
        servers[built++] = record;
    }
    round.servers = servers;
    round.count = built;
    return round;
}

void FreeRound(MeasuredRound& round) {
    DeleteRecords(round.servers, round.count);
    round.servers = nullptr;
    round.count = 0;
}
