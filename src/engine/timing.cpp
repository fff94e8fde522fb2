// Timing servers: one timed probe, the sampling rounds of a search, and the
// repeated timing of /time_network.

#include "engine/timing.h"

#include <cstring>
#include <ctime>

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
constexpr unsigned kMsgListCut = 168;

constexpr DWORD kDefaultTimesToAverage = 7;
constexpr char kServerListKey[] = "ProductControl";
constexpr size_t kValueNameSize = 128;
// Message 94 always shows this many samples.
constexpr int kShownSamples = 7;

int TimesToAverage() {
    return static_cast<int32_t>(
        GetDwordValue(Keys.ProductControl, "TimesToAverage", kDefaultTimesToAverage));
}

void PrintIndentation(int level) {
    for (int i = 0; i < level; ++i) PrintMessage("  ", nullptr, true);
}

}  // namespace

product::Status ProbeServer(const char* server, const char* role, int level,
                            char* returnedList, uint32_t* elapsedMs, bool* listCut) {
    char valueName[kValueNameSize];
    FormatText(valueName, "RoamManaging%sLevel%d", role, level);
    // The name, its terminator and the empty name that ends the request.
    uint8_t block[product::kListBlockSize] = {};
    CopyText(reinterpret_cast<char*>(block), sizeof block - 1, valueName);

    returnedList[0] = '\0';
    if (listCut) *listCut = false;
    uint32_t start = ClockMs();
    product::Status status = product::kLibraryUnavailable;
    if (Product.ReadServerValues) {
        uint32_t count = 1;
        status = Product.ReadServerValues(server, kServerListKey, block, 0, &count);
    }
    if (status == 0) {
        // The length is the server's word; the copy never trusts it beyond
        // the block's data or the caller's buffer.
        size_t told = block[0] | (static_cast<size_t>(block[1]) << 8);
        bool cut = TakeReplyList(block + product::kReplyHeaderSize, product::kReplyListSize,
                                 told, returnedList);
        if (listCut) *listCut = cut;
    }
    *elapsedMs = ElapsedMs(start, ClockMs());
    return status;
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
            bool cut = false;
            round.status = ProbeServer(server.name, role, level, returned, &sample, &cut);
            PrintIndentation(level);
            ShownText<> name(server.name);
            if (round.status == 0) {
                PrintMessageId(kMsgProbeOk, nullptr, true, j, name.get(), level,
                               static_cast<int>(sample), 0u, ShownText<>(returned).get());
                CopyText(server.returnedList, returned);
                server.returnedListCut = cut;
            } else {
                PrintMessageId(kMsgProbeFailed, nullptr, true, j, name.get(), level,
                               static_cast<int>(sample), static_cast<unsigned>(round.status));
                sample = SAMPLE_FAILED;
            }
            server.samplesTaken = j + 1;
        }
    }
    for (int i = 0; i < round.count; ++i) {
        TimedServer& server = *round.servers[i];
        AverageSamples(server);
        ShownText<> name(server.name);
        PrintMessageId(kMsgAverage, nullptr, true, name.get(),
                       static_cast<int>(server.averageMs), server.separator);
        if (server.returnedListCut)
            PrintMessageId(kMsgListCut, nullptr, true, name.get(), level + 1);
    }
    return round;
}

product::Status TimeNetwork(const char* list, const char* secondsText,
                            const char* pauseMsText) {
    char working[kListSize];
    CopyText(working, list);
    PrintMessageId(kMsgStartsFrom, nullptr, true, ShownText<>(working).get());

    int32_t seconds = ReadDecimal(secondsText);
    int32_t pauseMs = ReadDecimal(pauseMsText);
    int samples = TimesToAverage();
    MeasuredRound records = ParseList(working, samples, false);
    if (records.status) return records.status;
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
                    PrintMessageId(kMsgProbeFailed, nullptr, true, j,
                                   ShownText<>(server.name).get(), 0,
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
            PrintMessageId(kMsgTimingPass, nullptr, true, elapsed, ShownText<>(server.name).get(),
                           static_cast<int>(server.averageMs), server.separator, shown[0],
                           shown[1], shown[2], shown[3], shown[4], shown[5], shown[6]);
        }
        if (pauseMs > 0) Sleep(static_cast<DWORD>(pauseMs));
    }
    FreeRound(records);
    return status;
}
