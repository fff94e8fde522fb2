#include "soak_schedule.h"

namespace soak {
namespace {

// How often each kind comes, out of the sum: moves and outages most, the
// product's trouble and refused writes now and then.
constexpr uint32_t kWeights[] = {14, 12, 10, 6, 6, 3, 4, 2, 5, 3, 3, 6, 5, 7};
static_assert(sizeof kWeights / sizeof kWeights[0] == static_cast<size_t>(EventKind::Count));

constexpr const char* kNames[] = {
    "move",          "down",           "up",           "slower",         "faster",
    "product-stop",  "product-slow",   "product-never", "product-normal", "refuse-writes",
    "accept-writes", "client-joins",   "client-leaves", "stop"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(EventKind::Count));

}  // namespace

const char* EventName(EventKind kind) { return kNames[static_cast<size_t>(kind)]; }

uint32_t Schedule::Between(uint32_t low, uint32_t high) {
    // Not std::uniform_int_distribution: its mapping differs between
    // libraries, and a seed must replay the same schedule everywhere.
    uint64_t span = static_cast<uint64_t>(high) - low + 1;
    return low + static_cast<uint32_t>(random_() % span);
}

EventKind Schedule::NextKind() {
    uint32_t total = 0;
    for (uint32_t weight : kWeights) total += weight;
    uint32_t draw = Between(0, total - 1);
    size_t kind = 0;
    while (draw >= kWeights[kind]) draw -= kWeights[kind++];
    return static_cast<EventKind>(kind);
}

}  // namespace soak
