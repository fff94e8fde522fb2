#pragma once
// What the stand-in library knows of the lab network in this process: the
// behaviour of each server (read once per network generation), the lab-wide
// settings, the listing cursors and the true layout of recent read replies.

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

#include "product/product_interface.h"

namespace labproduct {

struct LabSettings {
    DWORD unknownServerDelayMs = 0;
    std::string answerAny;
    uint32_t callerCodeKey = product::kCallerCodeKey;
    bool recordCalls = false;
    bool hasVirusAlert = false;
    std::string virusAlert;
    // The folder of servers shared by a fleet of prefixes; empty: this
    // prefix's registry and drive C: hold them.
    std::string sharedServers;
};

// One contact with a server, from the caller's entry to the moment the answer
// is due. The destructor waits for that moment, so every return path of an
// operation costs the server's latency (or its time-out when it is down).
class ServerCall {
public:
    // detail: the value name(s) or path the call is about, for the call log.
    ServerCall(const char* server, const char* operation, const char* keyPath,
               const char* detail);
    ~ServerCall();
    ServerCall(const ServerCall&) = delete;
    ServerCall& operator=(const ServerCall&) = delete;

    // Non-zero when the server does not answer the request itself: unknown,
    // down. The operation returns it without touching the server's data.
    product::Status refusal() const { return refusal_; }
    // The server's product registry root under HKLM, and its file area.
    const std::string& registryRoot() const { return registryRoot_; }
    const std::string& fileArea() const { return fileArea_; }
    // The server's root folder in a fleet's shared folder; empty when the
    // server lives in this prefix's registry.
    const std::string& sharedRoot() const { return sharedRoot_; }
    // Registry key path below HKLM of keyPath on this server.
    std::string keyPathUnderRoot(const char* keyPath) const;

    bool failsRead(const char* valueName) const;
    product::Status failReadStatus() const { return failReadStatus_; }
    product::Status failWrite() const { return failWrite_; }
    product::Status failCopy() const { return failCopy_; }
    DWORD lieLength() const { return lieLength_; }
    // The list answered for every list value the server does not hold.
    bool answersEveryLevel() const { return answersEveryLevel_; }
    const std::string& endlessList() const { return endlessList_; }
    bool emptyMore() const { return emptyMore_; }

private:
    LARGE_INTEGER start_{};
    DWORD delayMs_ = 0;
    product::Status refusal_ = 0;
    std::string registryRoot_;
    std::string fileArea_;
    std::string sharedRoot_;
    std::string failRead_;
    product::Status failReadStatus_ = 0;
    product::Status failWrite_ = 0;
    product::Status failCopy_ = 0;
    DWORD lieLength_ = 0;
    bool answersEveryLevel_ = false;
    std::string endlessList_;
    bool emptyMore_ = false;
};

LabSettings CurrentSettings();

// Listing cursors: where the next call for the same server, key path and kind
// of listing continues. Dropped when a listing ends or fails.
DWORD ListingCursor(char kind, const char* server, const char* keyPath);
void SetListingCursor(char kind, const char* server, const char* keyPath, DWORD next);
void EndListing(char kind, const char* server, const char* keyPath);

// The true offsets of the values of the last replies written into a block,
// so that walking a reply whose length field lies stays inside the block.
struct ReplyLayout {
    std::vector<uint32_t> dataOffsets;
    std::vector<uint32_t> typeOffsets;
};
void RememberReply(const uint8_t* block, ReplyLayout layout);
bool RecallReply(const uint8_t* block, ReplyLayout* layout);

// sharedServers: the fleet's folder, whose call logs (one per machine) give
// each line the time it was made; empty: this prefix's log.
void AppendCallLog(const char* operation, const char* server, const char* keyPath,
                   const char* detail, const std::string& sharedServers);

}  // namespace labproduct
