// The names and messages that installation and removal share.

#include "entry/service_registration.h"

#include <cstdio>

#include "common/text.h"
#include "entry/format_last_error.h"
#include "output/output.h"

namespace {

constexpr char kProgramName[] = "Perchman";
// Room for a whole service name (up to 1023 characters) and the message.
constexpr size_t kLineSize = 2 * kTextSize;

// Not through PrintMessage: these lines belong to the console that asked for
// the installation, whatever mode flags are set.
void WriteLine(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

}  // namespace

const char* ServiceNameOrDefault(const char* serviceName) {
    return serviceName && serviceName[0] ? serviceName : kDefaultServiceName;
}

void EventSourceKeyPath(const char* serviceName, char (&out)[kEventSourceKeySize]) {
    CopyText(out, kEventLogApplicationKey);
    AppendText(out, "\\");
    AppendText(out, serviceName);
}

void PrintInstallMessage(unsigned messageId, const char* argument) {
    char line[kLineSize];
    FormatMessageId(line, sizeof line, messageId, argument);
    WriteLine(line);
}

void PrintStepFailed(const char* step) {
    char line[kLineSize];
    FormatMessageId(line, sizeof line, kMsgStepFailed, step,
                    FormatLastError(ErrorText, sizeof ErrorText));
    WriteLine(line);
}

void PrintCannotInstall() {
    char line[kLineSize];
    FormatMessageId(line, sizeof line, kMsgCannotInstall, kProgramName,
                    FormatLastError(ErrorText, sizeof ErrorText));
    WriteLine(line);
}
