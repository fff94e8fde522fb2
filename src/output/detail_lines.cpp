#include "output/detail_lines.h"

#include <cstdarg>

#include "common/text.h"
#include "output/output.h"

void PrintDetailMessage(unsigned messageId, ...) {
    if (!ShowDetail && !ServiceRunning) return;
    char format[kTextSize];
    char line[kTextSize];
    LoadMessage(messageId, format);
    va_list args;
    va_start(args, messageId);
    FormatTextV(line, sizeof line, format, args);
    va_end(args);
    PrintMessage(line, nullptr, true);
}
