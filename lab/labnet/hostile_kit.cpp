// The hostile-server kit: description lines that make lab servers misbehave
// the ways a misconfigured, half-upgraded or hostile server can, and write
// the lists and key trees such a server publishes.

#include <windows.h>

#include <string>
#include <vector>

#include "../common/lab_layout.h"
#include "description_parser.h"
#include "labnet.h"
#include "product/product_interface.h"

namespace lab {
namespace {

// The list data a read reply holds: between the length and the type word.
constexpr size_t kReplyRoom =
    product::kListBlockSize - product::kReplyHeaderSize - product::kReplyTypeSize;
// What no Windows computer name may hold, besides control characters; the
// list's own "," "=" ">" and "(" cannot stand in a name at all.
constexpr char kRefusedInNames[] = "\\/:*?\"<|[]+;% ";
constexpr DWORD kMostKeys = 5000;
constexpr DWORD kMostValueBytes = 65536;

std::string ListValueName(const std::string& role, const std::string& level) {
    return "RoamManaging" + role + "Level" + level;
}

std::string KeyBelow(const std::string& keyPath, const std::string& name) {
    return keyPath.empty() || keyPath == "-" ? name : keyPath + "\\" + name;
}

std::string Numbered(const char* prefix, DWORD n) {
    std::string name = prefix;
    name += std::to_string(n);
    return name;
}

bool ParseCount(Parser& p, const std::string& text, DWORD least, DWORD most, DWORD* value) {
    if (ParseNumber(text, value) && *value >= least && *value <= most) return true;
    return p.Fail("\"" + text + "\" is not a number of " + std::to_string(least) + " to " +
                  std::to_string(most));
}

void AddList(Parser& p, const std::string& machine, const std::string& role,
             const std::string& level, const std::string& list) {
    std::string name = ListValueName(role, level);
    p.steps.push_back([=] { return SetString(machine, "ProductControl", name, list); });
}

// endless SERVER [LIST]
bool ParseEndless(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 2 && w.size() != 3) return p.Fail("endless needs SERVER [LIST]");
    if (!KnownServer(p, w[1])) return false;
    std::string server = w[1], list = w.size() == 3 ? w[2] : "";
    p.steps.push_back([=] { return SetBehaviourText(server, kEndlessListValue, list); });
    return true;
}

// overlong MACHINE ROLE LEVEL NAME KEEP
bool ParseOverlong(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 6) return p.Fail("overlong needs MACHINE ROLE LEVEL NAME KEEP");
    if (!KnownMachine(p, w[1])) return false;
    DWORD keep = 0;
    if (w[4].size() < 2) return p.Fail("overlong needs a NAME of two characters or more");
    if (!ParseCount(p, w[5], 1, static_cast<DWORD>(w[4].size() - 1), &keep)) return false;
    // One filler name, then NAME: the reply's room ends after KEEP of its characters.
    std::string list = std::string(kReplyRoom - 1 - keep, 'F') + "," + w[4];
    AddList(p, w[1], w[2], w[3], list);
    return true;
}

// illegal-names MACHINE ROLE LEVEL [LIST]
bool ParseIllegalNames(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 4 && w.size() != 5) return p.Fail("illegal-names needs MACHINE ROLE LEVEL [LIST]");
    if (!KnownMachine(p, w[1])) return false;
    std::vector<std::string> names;
    for (const char* c = kRefusedInNames; *c; ++c) names.push_back(std::string("N") + *c + "X");
    for (char c = 1; c < 0x20; ++c) names.push_back(std::string("N") + c + "X");
    names.push_back("N\x7FX");
    names.push_back(".PERIOD");
    names.push_back(std::string(128, 'L'));
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ",") + name;
    if (w.size() == 5) list += "," + w[4];
    AddList(p, w[1], w[2], w[3], list);
    return true;
}

// list-escaped MACHINE ROLE LEVEL LIST, with \r \n \t \\ and \xNN in LIST.
bool ParseListEscaped(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 5) return p.Fail("list-escaped needs MACHINE ROLE LEVEL LIST");
    if (!KnownMachine(p, w[1])) return false;
    std::string list;
    const std::string& text = w[4];
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            list += text[i];
            continue;
        }
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        DWORD byte = 0;
        if (next == 'r' || next == 'n' || next == 't' || next == '\\') {
            list += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
            ++i;
        } else if (next == 'x' && i + 3 < text.size() &&
                   ParseNumber("0x" + text.substr(i + 2, 2), &byte) && byte != 0) {
            list += static_cast<char>(byte);
            i += 3;
        } else {
            return p.Fail("\"" + text + "\" has an escape other than \\r \\n \\t \\\\ \\xNN");
        }
    }
    AddList(p, w[1], w[2], w[3], list);
    return true;
}

// deep SERVER KEYPATH DEPTH: D1\D2\... below KEYPATH, each with "Depth<n>" = n.
bool ParseDeep(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 4) return p.Fail("deep needs SERVER KEYPATH DEPTH");
    if (!KnownServer(p, w[1])) return false;
    DWORD depth = 0;
    if (!ParseCount(p, w[3], 1, 100, &depth)) return false;
    std::string server = w[1], keyPath = w[2];
    p.steps.push_back([=] {
        std::string path = keyPath;
        for (DWORD n = 1; n <= depth; ++n) {
            path = KeyBelow(path, Numbered("D", n));
            if (!SetDword(server, path, Numbered("Depth", n), n)) return false;
        }
        return true;
    });
    return true;
}

// wide SERVER KEYPATH COUNT: W1 ... W<COUNT> below KEYPATH, each with "Wide<n>" = n.
bool ParseWide(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 4) return p.Fail("wide needs SERVER KEYPATH COUNT");
    if (!KnownServer(p, w[1])) return false;
    DWORD count = 0;
    if (!ParseCount(p, w[3], 1, kMostKeys, &count)) return false;
    std::string server = w[1], keyPath = w[2];
    p.steps.push_back([=] {
        for (DWORD n = 1; n <= count; ++n)
            if (!SetDword(server, KeyBelow(keyPath, Numbered("W", n)), Numbered("Wide", n), n))
                return false;
        return true;
    });
    return true;
}

// oversize SERVER KEYPATH NAME BYTES: a binary value of BYTES bytes 00 01 02 ...
bool ParseOversize(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 5) return p.Fail("oversize needs SERVER KEYPATH NAME BYTES");
    if (!KnownServer(p, w[1])) return false;
    DWORD bytes = 0;
    if (!ParseCount(p, w[4], 1, kMostValueBytes, &bytes)) return false;
    std::string data(bytes, '\0');
    for (DWORD i = 0; i < bytes; ++i) data[i] = static_cast<char>(i & 0xFF);
    std::string server = w[1], keyPath = w[2], name = w[3];
    p.steps.push_back([=] { return SetValue(server, keyPath, name, REG_BINARY, data); });
    return true;
}

// empty-more SERVER
bool ParseEmptyMore(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 2) return p.Fail("empty-more needs SERVER");
    if (!KnownServer(p, w[1])) return false;
    std::string server = w[1];
    p.steps.push_back([=] { return SetBehaviour(server, kEmptyMoreValue, 1); });
    return true;
}

// slow SERVER MS [OPERATION...]
bool ParseSlow(Parser& p, const std::vector<std::string>& w) {
    if (w.size() < 3) return p.Fail("slow needs SERVER MS [OPERATION...]");
    if (!KnownServer(p, w[1])) return false;
    DWORD ms = 0;
    if (!ParseNumber(w[2], &ms)) return p.Fail("\"" + w[2] + "\" is not a number");
    std::string operations;
    for (size_t i = 3; i < w.size(); ++i) operations += (i > 3 ? " " : "") + w[i];
    std::string server = w[1];
    p.steps.push_back([=] {
        return SetBehaviour(server, kSlowMsValue, ms) &&
               SetBehaviourText(server, kSlowOperationsValue, operations);
    });
    return true;
}

// answer-any SERVER
bool ParseAnswerAny(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 2) return p.Fail("answer-any needs SERVER");
    if (!KnownServer(p, w[1])) return false;
    std::string server = w[1];
    p.steps.push_back([=] { return SetLabText(kAnswerAnyValue, server); });
    return true;
}

}  // namespace

bool ParseKitLine(Parser& p, const std::vector<std::string>& w, bool* known) {
    using KitParser = bool (*)(Parser&, const std::vector<std::string>&);
    static const struct {
        const char* kind;
        KitParser parse;
    } kKit[] = {{"endless", ParseEndless},         {"overlong", ParseOverlong},
                {"illegal-names", ParseIllegalNames}, {"list-escaped", ParseListEscaped},
                {"deep", ParseDeep},               {"wide", ParseWide},
                {"oversize", ParseOversize},       {"empty-more", ParseEmptyMore},
                {"slow", ParseSlow},               {"answer-any", ParseAnswerAny}};
    *known = false;
    for (const auto& line : kKit) {
        if (w[0] != line.kind) continue;
        *known = true;
        return line.parse(p, w);
    }
    return false;
}

}  // namespace lab
