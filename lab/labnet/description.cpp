// Loading a lab network from its text description (format in labnet.h). The
// whole text is checked first and only then applied, so a bad line leaves
// nothing of the network behind.

#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "../common/lab_layout.h"
#include "common/handles.h"
#include "common/text.h"
#include "description_parser.h"
#include "lab_store.h"
#include "labnet.h"

namespace lab {
namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// Words are separated by blanks; double quotes may enclose any part of a
// word (blanks included), and "" inside quotes is one quote.
bool Tokenize(std::string_view line, std::vector<std::string>* words, std::string* why) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    size_t pos = 0;
    while (pos < line.size()) {
        if (blank(line[pos])) {
            ++pos;
            continue;
        }
        if (line[pos] == '#') return true;
        std::string word;
        while (pos < line.size() && !blank(line[pos])) {
            if (line[pos] != '"') {
                word += line[pos++];
                continue;
            }
            for (++pos;; ++pos) {
                if (pos >= line.size()) {
                    *why = "a quote is not closed";
                    return false;
                }
                if (line[pos] == '"') {
                    if (pos + 1 < line.size() && line[pos + 1] == '"') {
                        word += '"';
                        ++pos;
                        continue;
                    }
                    ++pos;
                    break;
                }
                word += line[pos];
            }
        }
        words->push_back(word);
    }
    return true;
}

}  // namespace

bool ParseNumber(std::string_view text, DWORD* value) {
    if (text.empty()) return false;
    std::string digits(text);
    int base = 10;
    const char* start = digits.c_str();
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        start += 2;
    }
    if (*start == '-' || *start == '+' || *start == ' ') return false;
    char* end = nullptr;
    unsigned long long number = std::strtoull(start, &end, base);
    if (end == start || *end != '\0' || number > 0xFFFFFFFFull) return false;
    *value = static_cast<DWORD>(number);
    return true;
}

namespace {

bool ParseHex(std::string_view text, std::string* bytes) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    if (digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        DWORD byte = 0;
        std::string pair = "0x" + digits.substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])) || !ParseNumber(pair, &byte))
            return false;
        *bytes += static_cast<char>(byte);
    }
    return true;
}

bool ValidServerName(std::string_view name) {
    return !name.empty() && name.size() <= 255 && name.find('\\') == std::string_view::npos &&
           name.find('/') == std::string_view::npos && !IsLocalMachine(name);
}

}  // namespace

bool KnownMachine(Parser& p, const std::string& machine) {
    if (IsLocalMachine(machine) || p.servers.count(Upper(machine))) return true;
    return p.Fail("unknown machine \"" + machine + "\" (declare it with a server line first)");
}

bool KnownServer(Parser& p, const std::string& server) {
    if (p.servers.count(Upper(server))) return true;
    return p.Fail("unknown server \"" + server + "\" (declare it with a server line first)");
}

namespace {

// "name=value" options of server and lab lines.
bool SplitOption(const std::string& word, std::string* name, std::string* value) {
    size_t equals = word.find('=');
    *name = word.substr(0, equals);
    *value = equals == std::string::npos ? "" : word.substr(equals + 1);
    return equals != std::string::npos;
}

bool ParseServer(Parser& p, const std::vector<std::string>& w) {
    if (w.size() < 2) return p.Fail("server needs a name");
    const std::string name = w[1];
    if (!ValidServerName(name)) return p.Fail("\"" + name + "\" cannot be a server name");
    if (p.servers.count(Upper(name))) return p.Fail("server \"" + name + "\" is declared twice");
    std::map<std::string, DWORD> behaviour;
    std::optional<DWORD> clients, pattern;
    static const std::map<std::string, const char*> kOptions = {
        {"latency", kLatencyValue}, {"jitter", kJitterValue},   {"seed", kSeedValue},
        {"timeout", kTimeoutValue}, {"status", kDownStatusValue}};
    for (size_t i = 2; i < w.size(); ++i) {
        std::string option, text;
        bool hasValue = SplitOption(w[i], &option, &text);
        if (option == "down" && !hasValue) {
            behaviour[kDownValue] = 1;
            behaviour[kPlainDownValue] = 1;
            continue;
        }
        DWORD number = 0;
        if (!hasValue || !ParseNumber(text, &number)) {
            if (hasValue) return p.Fail("\"" + text + "\" is not a number in " + w[i]);
            return p.Fail("unknown server option \"" + w[i] + "\"");
        }
        auto found = kOptions.find(option);
        if (found != kOptions.end()) {
            behaviour[found->second] = number;
            // A move to a site that does not name the server restores it.
            if (option == "latency") behaviour[kPlainLatencyValue] = number;
        } else if (option == "clients")
            clients = number;
        else if (option == "pattern")
            pattern = number;
        else
            return p.Fail("unknown server option \"" + option + "\"");
    }
    p.servers.insert(Upper(name));
    p.steps.push_back([name, behaviour, clients, pattern] {
        bool ok = AddServer(name);
        for (const auto& [value, number] : behaviour) ok &= SetBehaviour(name, value, number);
        if (clients) ok &= SetDword(name, "ProductControl", "ClientCount", *clients);
        if (pattern) ok &= SetDword(name, "", "UsingPattern", *pattern);
        return ok;
    });
    return true;
}

bool ParseList(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 5) return p.Fail("list needs MACHINE ROLE LEVEL LIST");
    if (!KnownMachine(p, w[1])) return false;
    if (w[2].empty() || w[3].empty()) return p.Fail("list needs a role and a level");
    std::string machine = w[1];
    std::string name = "RoamManaging" + w[2] + "Level" + w[3];
    std::string list = w[4];
    p.steps.push_back([=] { return SetString(machine, "ProductControl", name, list); });
    return true;
}

bool ParseValue(Parser& p, const std::vector<std::string>& w) {
    const std::string& kind = w[0];
    if (w.size() != 5) return p.Fail(kind + " needs MACHINE KEYPATH NAME VALUE");
    if (!KnownMachine(p, w[1])) return false;
    std::string machine = w[1], keyPath = w[2], name = w[3];
    DWORD type = REG_SZ;
    std::string data;
    if (kind == "dword") {
        DWORD number = 0;
        if (!ParseNumber(w[4], &number)) return p.Fail("\"" + w[4] + "\" is not a number");
        type = REG_DWORD;
        data.assign(reinterpret_cast<const char*>(&number), sizeof number);
    } else if (kind == "binary") {
        type = REG_BINARY;
        if (!ParseHex(w[4], &data)) return p.Fail("\"" + w[4] + "\" is not hex bytes");
    } else {
        type = kind == "expand" ? REG_EXPAND_SZ : REG_SZ;
        data = w[4];
        data += '\0';
    }
    p.steps.push_back([=] { return SetValue(machine, keyPath, name, type, data); });
    return true;
}

bool ParseKey(Parser& p, const std::vector<std::string>& w) {
    if (w.size() != 3) return p.Fail("key needs MACHINE KEYPATH");
    if (!KnownMachine(p, w[1])) return false;
    std::string machine = w[1], keyPath = w[2];
    p.steps.push_back([=] { return CreateKey(machine, keyPath); });
    return true;
}

std::string ExpandBuild(const std::string& path) {
    std::string out = path;
#ifdef PERCHMAN_BUILD_DIR
    const std::string token = "%BUILD%";
    for (size_t pos = out.find(token); pos != std::string::npos; pos = out.find(token, pos))
        out.replace(pos, token.size(), PERCHMAN_BUILD_DIR);
#endif
    return out;
}

bool ParseFile(Parser& p, const std::vector<std::string>& w) {
    const bool copy = w[0] == "copy";
    if (w.size() < 3 || (copy && w.size() != 4))
        return p.Fail(copy ? "copy needs SERVER REMOTEPATH LOCALPATH"
                           : "file needs SERVER REMOTEPATH [TEXT...]");
    if (!KnownServer(p, w[1])) return false;
    std::string relative;
    if (!AreaRelativePath(w[2], &relative))
        return p.Fail("\"" + w[2] + "\" is not a path inside the server's area");
    std::string target = FileArea(w[1]) + "\\" + relative;
    if (copy) {
        std::string source = ExpandBuild(w[3]);
        if (GetFileAttributesA(source.c_str()) == INVALID_FILE_ATTRIBUTES)
            return p.Fail("cannot find the local file \"" + source + "\"");
        p.steps.push_back([=] {
            size_t slash = target.rfind('\\');
            return CreateFolders(target.substr(0, slash)) &&
                   CopyFileA(source.c_str(), target.c_str(), FALSE);
        });
        return true;
    }
    std::string text;
    for (size_t i = 3; i < w.size(); ++i) {
        if (i > 3) text += ' ';
        text += w[i];
    }
    if (w.size() > 3) text += "\r\n";
    bool append = !p.filesWritten.insert(Upper(target)).second;
    p.steps.push_back([=] { return WriteWholeFile(target, text, append); });
    return true;
}

bool ParseFail(Parser& p, const std::vector<std::string>& w) {
    if (w.size() < 3) return p.Fail("fail needs SERVER read|write|copy ...");
    if (!KnownServer(p, w[1])) return false;
    std::string server = w[1];
    if (w[2] == "read") {
        if (w.size() < 4 || w.size() > 5) return p.Fail("fail read needs VALUENAME [STATUS]");
        DWORD status = kDefaultFailReadStatus;
        if (w.size() == 5 && !ParseNumber(w[4], &status))
            return p.Fail("\"" + w[4] + "\" is not a number");
        std::string value = w[3];
        p.steps.push_back([=] {
            return SetBehaviourText(server, kFailReadValue, value) &&
                   SetBehaviour(server, kFailReadStatusValue, status);
        });
        return true;
    }
    if (w[2] == "write") {
        DWORD status = 0;
        if (w.size() != 4 || !ParseNumber(w[3], &status) || status == 0)
            return p.Fail("fail write needs a non-zero STATUS");
        p.steps.push_back([=] { return SetBehaviour(server, kFailWriteValue, status); });
        return true;
    }
    if (w[2] == "copy") {
        DWORD status = kDefaultFailCopyStatus;
        if (w.size() > 4 || (w.size() == 4 && (!ParseNumber(w[3], &status) || status == 0)))
            return p.Fail("fail copy takes a non-zero STATUS");
        p.steps.push_back([=] { return SetBehaviour(server, kFailCopyValue, status); });
        return true;
    }
    return p.Fail("fail takes read, write or copy, not \"" + w[2] + "\"");
}

bool ParseLie(Parser& p, const std::vector<std::string>& w) {
    DWORD length = 0;
    if (w.size() != 3) return p.Fail("lie needs SERVER LENGTH");
    if (!KnownServer(p, w[1])) return false;
    if (!ParseNumber(w[2], &length) || length > 0xFFFF)
        return p.Fail("\"" + w[2] + "\" is not a length of 0 to 65535");
    std::string server = w[1];
    p.steps.push_back([=] { return SetBehaviour(server, kLieLengthValue, length); });
    return true;
}

bool ParseLab(Parser& p, const std::vector<std::string>& w) {
    for (size_t i = 1; i < w.size(); ++i) {
        std::string option, text;
        bool hasValue = SplitOption(w[i], &option, &text);
        DWORD number = 0;
        if (option == "record" && !hasValue) {
            p.steps.push_back([] { return RecordCalls(true); });
        } else if (option == "alert" && hasValue) {
            p.steps.push_back([text] { return SetLabText(kVirusAlertValue, text); });
        } else if ((option == "unknown-delay" || option == "caller-key") && hasValue) {
            if (!ParseNumber(text, &number))
                return p.Fail("\"" + text + "\" is not a number in " + w[i]);
            const char* value =
                option == "unknown-delay" ? kUnknownServerDelayValue : kCallerCodeKeyValue;
            p.steps.push_back([value, number] { return SetLabDword(value, number); });
        } else {
            return p.Fail("unknown lab setting \"" + w[i] + "\"");
        }
    }
    return true;
}

// A dotted IPv4 address of the documentation ranges, the only ones the lab
// gives the machine: no traffic ever leaves its namespace, and nothing there
// may look like a real network.
bool DocumentationAddress(const std::string& text) {
    DWORD parts[4];
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = i < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos || end == start || end - start > 3) return false;
        std::string part = text.substr(start, end - start);
        // No leading zeros: the Unix tools would read them as octal.
        if (part.find_first_not_of("0123456789") != std::string::npos ||
            (part.size() > 1 && part[0] == '0') || !ParseNumber(part, &parts[i]) || parts[i] > 255)
            return false;
        start = end + 1;
    }
    const DWORD network = parts[0] << 16 | parts[1] << 8 | parts[2];
    return network == (192u << 16 | 0u << 8 | 2u) || network == (198u << 16 | 51u << 8 | 100u) ||
           network == (203u << 16 | 0u << 8 | 113u);
}

bool ParseSite(Parser& p, const std::vector<std::string>& w) {
    if (w.size() < 3) return p.Fail("site needs NAME ADDRESS... [SERVER=MS|SERVER=down]...");
    const std::string name = w[1];
    if (!ValidServerName(name) || name == kNoSite) return p.Fail("\"" + name + "\" cannot be a site name");
    if (!p.sites.insert(Upper(name)).second) return p.Fail("site \"" + name + "\" is declared twice");
    std::string addresses;
    size_t count = 0;
    std::map<std::string, DWORD> latencies;
    for (size_t i = 2; i < w.size(); ++i) {
        std::string server, text;
        if (SplitOption(w[i], &server, &text)) {
            DWORD ms = 0;
            if (!KnownServer(p, server)) return false;
            if (text == "down")
                ms = kSiteDownLatency;
            else if (!ParseNumber(text, &ms) || ms == kSiteDownLatency)
                return p.Fail("\"" + text + "\" is not a number of milliseconds or down in " + w[i]);
            latencies[server] = ms;
            continue;
        }
        if (!DocumentationAddress(w[i]))
            return p.Fail("\"" + w[i] +
                          "\" is not an address of 192.0.2.0/24, 198.51.100.0/24 or 203.0.113.0/24");
        if (++count > kMaxSiteAddresses)
            return p.Fail("a site has at most " + std::to_string(kMaxSiteAddresses) + " addresses");
        addresses += (addresses.empty() ? "" : " ") + w[i];
    }
    if (count == 0) return p.Fail("site \"" + name + "\" needs an address");
    p.steps.push_back([=] { return StoreSite(name, addresses, latencies); });
    return true;
}

bool ParseLine(Parser& p, std::string_view line) {
    std::vector<std::string> w;
    std::string why;
    if (!Tokenize(line, &w, &why)) return p.Fail(why);
    if (w.empty()) return true;
    const std::string& kind = w[0];
    if (kind == "server") return ParseServer(p, w);
    if (kind == "list") return ParseList(p, w);
    if (kind == "dword" || kind == "string" || kind == "expand" || kind == "binary")
        return ParseValue(p, w);
    if (kind == "key") return ParseKey(p, w);
    if (kind == "file" || kind == "copy") return ParseFile(p, w);
    if (kind == "fail") return ParseFail(p, w);
    if (kind == "lie") return ParseLie(p, w);
    if (kind == "lab") return ParseLab(p, w);
    if (kind == "site") return ParseSite(p, w);
    bool known = false;
    bool parsed = ParseKitLine(p, w, &known);
    if (known) return parsed;
    return p.Fail("unknown item \"" + kind + "\"");
}

bool ParseLines(Parser& p, std::string_view description) {
    for (size_t start = 0; start <= description.size();) {
        size_t end = description.find('\n', start);
        if (end == std::string_view::npos) end = description.size();
        ++p.lineNumber;
        if (!ParseLine(p, description.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

bool RunSteps(const Parser& p) {
    for (const Step& step : p.steps)
        if (!step()) return false;
    BumpGeneration();
    return true;
}

// The upper-case names of the subkeys of an HKLM key.
std::set<std::string> UpperSubkeys(const char* path) {
    std::set<std::string> names;
    RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        for (const std::string& name : SubkeyNames(key.get())) names.insert(Upper(name));
    return names;
}

}  // namespace

bool LoadNetwork(std::string_view description, std::string* error) {
    Parser p;
    if (!ParseLines(p, description)) {
        ResetNetwork();
        if (error) *error = p.error;
        return false;
    }
    ResetNetwork();
    CreateFolders(kFilesFolder);
    if (!RunSteps(p)) {
        ResetNetwork();
        if (error) *error = "the lab could not store the network (registry or file error)";
        return false;
    }
    if (error) error->clear();
    return true;
}

bool AddToNetwork(std::string_view description, std::string* error) {
    Parser p;
    p.servers = UpperSubkeys(kServersKey);
    p.sites = UpperSubkeys(kSitesKey);
    if (!ParseLines(p, description)) {
        if (error) *error = p.error;
        return false;
    }
    CreateFolders(kFilesFolder);
    if (!RunSteps(p)) {
        if (error) *error = "the lab could not store the lines (registry or file error)";
        return false;
    }
    if (error) error->clear();
    return true;
}

bool LoadNetworkFile(const std::string& path, std::string* error) {
    std::optional<std::string> text = ReadLocalFile(path);
    if (!text) {
        ResetNetwork();
        if (error) *error = "cannot read " + path;
        return false;
    }
    return LoadNetwork(*text, error);
}

}  // namespace lab
