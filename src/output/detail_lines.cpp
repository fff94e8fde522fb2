#include "output/detail_lines.h"

#include <cstdarg>

#include "common/text.h"
#include "output/output.h"

void PrintDetailMessage(unsigned messageId, ...) {
    va_list args;
    va_start(args, messageId);
    PrintMessageIdV(messageId, nullptr, true, args);
    va_end(args);
}
