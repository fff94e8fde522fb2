// The library's session calls (caller code, alert callbacks), the local
// DWORD read, and the ordinals the program binds but never calls.

#include <windows.h>

#include <ctime>
#include <string>

#include "product/product_interface.h"
#include "server_state.h"

using product::Status;

namespace {

constexpr uint32_t kHandleMark = 0x4C414241;  // "ABAL"

struct AlertRegistration {
    uint32_t mark = kHandleMark;
    product::AlertCallback first = nullptr;
    product::AlertCallback second = nullptr;
};

constexpr int32_t kCallerCodeSlackMinutes = 2;

}  // namespace

extern "C" {

Status WINAPI PresentCallerCode(uint32_t code) {
    labproduct::LabSettings settings = labproduct::CurrentSettings();
    uint32_t minutes = static_cast<uint32_t>(std::time(nullptr) / 60);
    int32_t skew = static_cast<int32_t>((code ^ settings.callerCodeKey) - minutes);
    if (skew < -kCallerCodeSlackMinutes || skew > kCallerCodeSlackMinutes)
        return product::kSessionRefused;
    return 0;
}

HANDLE WINAPI RegisterAlertCallbacks(product::AlertCallback first,
                                     product::AlertCallback second) {
    auto* registration = new AlertRegistration;
    registration->first = first;
    registration->second = second;
    labproduct::LabSettings settings = labproduct::CurrentSettings();
    if (settings.hasVirusAlert && first) {
        product::AlertRecord record{};
        record.virusName = settings.virusAlert.c_str();
        first(&record);
    }
    return registration;
}

Status WINAPI UnregisterAlertCallbacks(HANDLE handle) {
    auto* registration = static_cast<AlertRegistration*>(handle);
    if (registration && registration->mark == kHandleMark) {
        registration->mark = 0;
        delete registration;
    }
    return 0;
}

DWORD WINAPI GetDwordValue(HKEY key, const char* name, DWORD defaultValue) {
    DWORD type = 0, size = sizeof(DWORD), value = 0;
    if (!key ||
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(DWORD))
        return defaultValue;
    return value;
}

// Each ordinal gets a function of its own, so the export table stays a plain
// one-name-per-ordinal list.
#define LAB_UNCALLED(n) \
    Status WINAPI Uncalled##n() { return product::kOperationMissing; }
LAB_UNCALLED(103)
LAB_UNCALLED(104)
LAB_UNCALLED(105)
LAB_UNCALLED(107)
LAB_UNCALLED(112)
LAB_UNCALLED(113)
LAB_UNCALLED(115)
LAB_UNCALLED(118)
LAB_UNCALLED(122)
LAB_UNCALLED(123)
LAB_UNCALLED(126)
LAB_UNCALLED(128)
LAB_UNCALLED(131)
LAB_UNCALLED(136)
LAB_UNCALLED(146)
LAB_UNCALLED(149)
LAB_UNCALLED(150)
LAB_UNCALLED(153)
LAB_UNCALLED(157)
LAB_UNCALLED(162)
LAB_UNCALLED(166)
LAB_UNCALLED(167)
LAB_UNCALLED(171)
LAB_UNCALLED(172)
LAB_UNCALLED(175)
LAB_UNCALLED(200)
LAB_UNCALLED(201)
LAB_UNCALLED(203)
LAB_UNCALLED(204)
#undef LAB_UNCALLED

}  // extern "C"
