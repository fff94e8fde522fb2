#pragma once
// The soak's random events, drawn from its seed alone: the same seed plays
// the same kinds, targets and pauses in the same order (what the program does
// in between may still differ in its timing).

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace soak {

enum class EventKind {
    Move,           // the machine moves to another site
    Down,           // a server cannot be reached from here
    Up,             // it can again
    Slower,         // a server answers more slowly from here
    Faster,         // or faster
    ProductStop,    // the product stops
    ProductSlow,    // it takes long to take HPD.DAT in
    ProductNever,   // it never confirms it
    ProductNormal,  // it behaves again
    RefuseWrites,   // a server refuses remote writes
    AcceptWrites,   // it accepts them again
    ClientJoins,    // a client machine registers under this one
    ClientLeaves,   // one leaves
    Stop,           // the program is stopped (and started again)
    Count
};
const char* EventName(EventKind kind);

class Schedule {
public:
    explicit Schedule(uint32_t seed) : random_(seed) {}
    EventKind NextKind();
    // A number in [low, high], evenly.
    uint32_t Between(uint32_t low, uint32_t high);
    // One of the items, evenly; items must not be empty.
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[Between(0, static_cast<uint32_t>(items.size() - 1))];
    }

private:
    std::mt19937 random_;  // its sequence is the same on every platform
};

}  // namespace soak
