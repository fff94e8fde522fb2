// The parent's name in HPD.DAT comes from a server's list. Whatever it holds:
// the text is refused, or it is exactly the lines the product expects, each
// ending in one CR LF, with the name standing whole where it belongs.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_text.h"
#include "takeover/hpd_text.h"

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    FUZZ_CHECK(start == text.size());  // nothing after the last line end
    for (const std::string& line : lines)
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    return lines;
}

void CheckFullForm(const char* parent, const std::string& text) {
    std::string name = parent;
    std::vector<std::string> expected = {"[KEYS]",
                                         "!KEY!=$REGROOT$",
                                         "AlertDirectory=S\\" + name + "\\FWALERT$",
                                         "RemoteHomeDirectory=S\\" + name + "\\FWHOME",
                                         "Parent=S" + name,
                                         "FullHPDUpdateCounter=D1",
                                         "HPDUpdateTime=B0000004747470000",
                                         "Connected=D1"};
    FUZZ_CHECK(SplitLines(text) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first two bytes choose the size of the buffer the text goes into:
    // the program's own, or a smaller one that must not be overrun.
    if (size < 2) return 0;
    size_t room = (static_cast<size_t>(data[0]) << 8 | data[1]) % 4096;
    FuzzText parent(data + 2, size - 2, 4096);
    std::vector<char> out(room);

    if (FormatHpdText(parent.get(), out.data(), out.size()))
        CheckFullForm(parent.get(), out.data());
    else if (!out.empty())
        FUZZ_CHECK(std::memchr(out.data(), 0, out.size()) != nullptr);

    std::vector<char> shortForm(room);
    if (FormatHpdText(nullptr, shortForm.data(), shortForm.size()))
        FUZZ_CHECK(SplitLines(shortForm.data()) ==
                   (std::vector<std::string>{"[KEYS]", "!KEY!=$REGROOT$", "Connected=D1",
                                             "HPDUpdateTime=B0000004747470000"}));
    return 0;
}
