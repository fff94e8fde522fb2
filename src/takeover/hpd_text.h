#pragma once
// The text of HPD.DAT, the client configuration file the product takes in.
// The parent's name in it comes from a list a server published, so this text
// is made with no Windows header in reach: it is built natively as well and
// fuzzed there.

#include <cstddef>
#include <cstdint>

// The update time the file carries; the product replaces it once it has
// applied the file, which is the confirmation waited for.
constexpr uint8_t HPD_UPDATE_SENTINEL[8] = {0x00, 0x00, 0x00, 0x47, 0x47, 0x47, 0x00, 0x00};

// The file's text, lines ending in CR LF as the product reads them: the full
// form names the new parent; the short form (parent null) only tells the
// product that it is connected again. false when it does not fit out, or when
// the parent's name holds a control character: a line break in it would add
// lines of its own to the product's configuration.
bool FormatHpdText(const char* parent, char* out, size_t size);
// Whether the name may stand in the file: no control character.
bool CanNameParentInHpd(const char* parent);
