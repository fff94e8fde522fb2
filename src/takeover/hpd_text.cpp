// The text of the client configuration file.

#include "takeover/hpd_text.h"

#include "common/text.h"

bool CanNameParentInHpd(const char* parent) {
    for (; *parent; ++parent) {
        unsigned char byte = static_cast<unsigned char>(*parent);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

bool FormatHpdText(const char* parent, char* out, size_t size) {
    const uint8_t* s = HPD_UPDATE_SENTINEL;
    char sentinel[64];
    FormatText(sentinel, "HPDUpdateTime=B%02x%02x%02x%02x%02x%02x%02x%02x\r\n", s[0], s[1], s[2],
               s[3], s[4], s[5], s[6], s[7]);
    if (!parent)
        return FormatText(out, size, "[KEYS]\r\n!KEY!=$REGROOT$\r\nConnected=D1\r\n%s", sentinel);
    if (!CanNameParentInHpd(parent)) {
        CopyText(out, size, "");
        return false;
    }
    return FormatText(out, size,
                      "[KEYS]\r\n!KEY!=$REGROOT$\r\nAlertDirectory=S\\%s\\FWALERT$\r\n"
                      "RemoteHomeDirectory=S\\%s\\FWHOME\r\nParent=S%s\r\n"
                      "FullHPDUpdateCounter=D1\r\n%sConnected=D1\r\n",
                      parent, parent, parent, sentinel);
}
