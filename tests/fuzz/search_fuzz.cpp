// The whole search against a network the input makes up: servers that answer
// or fail, lists for every level (or the same list at every level), replies
// of any length whose length word may lie, client counts of any value, and a
// tree of keys of any depth and width whose listings may say "more" with
// nothing in them. Whatever the network: the walk ends within its levels; the
// winner is a legal name that a list it read names whole; a count the choice
// takes is one a server can have; and the walk of the keys ends within its
// bounds, gives way to a stop, and hands on only values it read whole.

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/level_walk.h"
#include "engine/nearest.h"
#include "fuzz_check.h"
#include "output/detail_lines.h"
#include "product/server_key_walk.h"

// The program prints its detail lines through its string table; here each
// line is formatted with the conversions of its message, so that an argument
// the message does not expect shows.
void PrintDetailMessage(unsigned messageId, ...) {
    static const std::map<unsigned, const char*> kFormats = {
        {90, "%s %d"},       {91, "%d %d"},       {161, "%d %s %d"},
        {162, "%s %d %d"},   {163, "%s \"%s\""},   {164, "%s"},
        {165, "%s %s %s %d %d %d"}, {166, "%s %s %d"}, {167, "%s %s %d %d"},
        {169, "%s %s"}};
    auto format = kFormats.find(messageId);
    FUZZ_CHECK(format != kFormats.end());
    char line[1024];
    va_list args;
    va_start(args, messageId);
    FormatTextV(line, sizeof line, format->second, args);
    va_end(args);
}

namespace {

// ---- The network of lists ----------------------------------------------------

constexpr size_t kBlock = 984;
constexpr uint16_t kRegSz = 1;

struct Server {
    bool answers = true;
    uint32_t latencyMs = 0;
    int32_t clients = CLIENTS_UNKNOWN;
    bool everyLevel = false;           // the same list at every level
    std::map<int, std::string> lists;  // by level
    int told = -1;                     // the reply's length word; -1: honest
};

struct Network {
    std::map<std::string, Server> servers;
    std::string first;  // the machine's own list
    int samples = 1;
    int levelsMeasured = 0;
    // Every entry name of the lists the walk read, as their servers publish
    // them whole.
    std::set<std::string> namesRead;
    bool groupCountsChecked = true;
};

// The list a server publishes below a level, and what its reply carries.
const std::string* Published(const Server& server, int level) {
    if (server.everyLevel) return server.lists.empty() ? nullptr : &server.lists.begin()->second;
    auto found = server.lists.find(level);
    return found == server.lists.end() ? nullptr : &found->second;
}

// The reply block as the library fills it: length word, the value with its
// NUL as far as the room holds it, then the type word.
size_t Reply(const Server& server, const std::string& value, unsigned char (&block)[kBlock]) {
    std::memset(block, 0, sizeof block);
    size_t length = value.size() + 1 < kReplyTextRoom ? value.size() + 1 : kReplyTextRoom;
    std::memcpy(block + 2, value.c_str(), length);
    std::memcpy(block + 2 + length, &kRegSz, sizeof kRegSz);
    size_t told = server.told >= 0 ? static_cast<size_t>(server.told) : length;
    block[0] = static_cast<unsigned char>(told & 0xFF);
    block[1] = static_cast<unsigned char>(told >> 8);
    return told;
}

// The entries of a list, as the search splits them.
void AddNames(const std::string& list, std::set<std::string>* names) {
    std::vector<char> text(list.begin(), list.end());
    text.push_back('\0');
    char* cursor = text.data();
    ListEntry entry;
    while (TakeListEntry(&cursor, entry, true)) names->insert(entry.name);
}

MeasuredRound Measure(char* list, const char*, int level, bool, void* context) {
    Network& net = *static_cast<Network*>(context);
    ++net.levelsMeasured;
    FUZZ_CHECK(level == net.levelsMeasured);
    FUZZ_CHECK(level <= kDeepestListLevel);
    MeasuredRound round = ParseRound(list, net.samples);
    for (int i = 0; i < round.count; ++i) {
        TimedServer& record = *round.servers[i];
        auto found = net.servers.find(record.name);
        bool answers = found != net.servers.end() && found->second.answers;
        for (int j = 0; j < net.samples; ++j)
            record.samples[j] = answers ? found->second.latencyMs : SAMPLE_FAILED;
        record.samplesTaken = net.samples;
        AverageSamples(record);
        if (!answers) continue;
        const std::string* value = Published(found->second, level);
        if (!value) continue;
        unsigned char block[kBlock];
        size_t told = Reply(found->second, *value, block);
        char returned[kListSize];
        record.returnedListCut = TakeReplyList(block + 2, kBlock - 2, told, returned);
        CopyText(record.returnedList, returned);
        // What the server publishes whole: its value, or as much of it as a
        // length word shorter than the room says.
        std::string whole = told < kReplyTextRoom ? std::string(reinterpret_cast<char*>(block + 2),
                                                                strnlen(reinterpret_cast<char*>(block + 2), told))
                                                  : *value;
        AddNames(whole, &net.namesRead);
    }
    return round;
}

int32_t ClientCount(const char* server, void* context) {
    Network& net = *static_cast<Network*>(context);
    auto found = net.servers.find(server);
    return found == net.servers.end() ? CLIENTS_UNKNOWN : found->second.clients;
}

uint32_t Seconds(void*) { return 1000; }

void Chosen(const MeasuredRound& round, const ChoiceVerdict*, int, int, int, void* context) {
    Network& net = *static_cast<Network*>(context);
    for (int i = 0; i < round.count; ++i) {
        int32_t count = round.servers[i]->clientCount;
        if (count < 0 && count != CLIENTS_UNKNOWN) net.groupCountsChecked = false;
    }
}

void RunSearch(Network& net) {
    AddNames(net.first, &net.namesRead);
    char list[kListSize];
    CopyText(list, net.first);
    const GroupChoiceSources group = {ClientCount, Seconds};
    const LevelWalkSources sources = {Measure, &group, Chosen, &net};
    char winner[kServerNameSize] = "stale";
    WalkServerLevels(list, "Parent", sources, winner);

    FUZZ_CHECK(net.levelsMeasured <= kDeepestListLevel);
    FUZZ_CHECK(net.groupCountsChecked);
    if (winner[0]) {
        FUZZ_CHECK(IsUsableServerName(winner));
        FUZZ_CHECK(net.namesRead.count(winner) == 1);
    }
}

// ---- The tree of keys ---------------------------------------------------------

struct KeyTree {
    bool present = false;          // the input has a keys line
    int depth = 0;                 // levels of keys below the top
    uint32_t width[4] = {};        // subkeys per key, by depth modulo 4
    uint32_t values = 0;           // values per key
    uint32_t valueSize = 0;        // data bytes of value i: (valueSize * (i + 1)) % 1200
    uint32_t nameLength = 0;       // of value names, up to 400
    int emptyMoreDepth = -1;       // listings at this depth say "more" with nothing
    bool repeatForever = false;    // every listing says "more" and repeats itself
    uint32_t stopAfter = 0;        // listings before a stop is asked for; 0: never
    uint32_t listings = 0;
    bool stopAsked = false;
    bool listedAfterStop = false;
    std::map<std::string, uint32_t> cursors;
};
KeyTree* Tree = nullptr;

int DepthOf(const char* keyPath) {
    int depth = 0;
    for (const char* p = keyPath; *p; ++p) depth += *p == '\\';
    return depth;  // the top, "K", is at 0
}

std::string ValueName(uint32_t i) {
    std::string name = "v" + std::to_string(i);
    if (Tree->nameLength > name.size()) name.append(Tree->nameLength - name.size(), 'n');
    return name;
}
std::string ValueData(uint32_t i) {
    return std::string((Tree->valueSize * (i + 1)) % 1200, static_cast<char>('a' + i % 26));
}

bool StartListing(const char* keyPath, uint32_t* more, uint32_t* count) {
    if (Tree->stopAsked) Tree->listedAfterStop = true;
    if (++Tree->listings == Tree->stopAfter) Tree->stopAsked = true;
    *more = 0;
    *count = 0;
    return DepthOf(keyPath) != Tree->emptyMoreDepth;
}

uint32_t EnumSubKeys(const char* server, const char* keyPath, char* listing, uint32_t size,
                     uint32_t* more, uint32_t* count) {
    (void)server;
    if (!StartListing(keyPath, more, count)) {
        *more = 1;
        return 0;
    }
    int depth = DepthOf(keyPath);
    uint32_t width = depth < Tree->depth ? Tree->width[depth % 4] : 0;
    uint32_t& next = Tree->cursors[std::string("K|") + keyPath];
    uint32_t used = 0;
    for (; next < width; ++next) {
        std::string name = "k" + std::to_string(next);
        if (used + name.size() + 1 > size) break;
        std::memcpy(listing + used, name.c_str(), name.size() + 1);
        used += static_cast<uint32_t>(name.size() + 1);
        ++*count;
    }
    *more = next < width || Tree->repeatForever;
    if (!*more || Tree->repeatForever) next = 0;
    return 0;
}

// name, 32-bit type, 32-bit size, data; a value larger than the whole
// listing is cut to fit, as the lab's library does, and declared so.
uint32_t EnumValues(const char* server, const char* keyPath, char* listing, uint32_t size,
                    uint32_t* more, uint32_t* count) {
    (void)server;
    if (!StartListing(keyPath, more, count)) {
        *more = 1;
        return 0;
    }
    uint32_t& next = Tree->cursors[std::string("V|") + keyPath];
    uint32_t used = 0;
    for (; next < Tree->values; ++next) {
        std::string name = ValueName(next);
        std::string data = ValueData(next);
        uint32_t fixed = static_cast<uint32_t>(name.size() + 1 + 8);
        uint32_t dataSize = static_cast<uint32_t>(data.size());
        if (fixed + dataSize > size - used) {
            if (used) break;
            if (fixed > size) continue;
            dataSize = size - fixed;
        }
        char* entry = listing + used;
        std::memcpy(entry, name.c_str(), name.size() + 1);
        uint32_t type = 3;
        std::memcpy(entry + name.size() + 1, &type, 4);
        std::memcpy(entry + name.size() + 5, &dataSize, 4);
        std::memcpy(entry + fixed, data.data(), dataSize);
        used += fixed + dataSize;
        ++*count;
    }
    *more = next < Tree->values || Tree->repeatForever;
    if (!*more || Tree->repeatForever) next = 0;
    return 0;
}

const char* Unpack(const char* cursor, char* name, uint32_t* type, uint8_t* data,
                   uint32_t* size) {
    size_t nameLength = std::strlen(cursor);
    CopyText(name, kKeyEntrySize, cursor);
    const char* fixed = cursor + nameLength + 1;
    uint32_t entrySize = 0;
    std::memcpy(type, fixed, 4);
    std::memcpy(&entrySize, fixed + 4, 4);
    uint32_t copied = entrySize < *size ? entrySize : *size;
    std::memcpy(data, fixed + 8, copied);
    *size = copied;
    return fixed + 8 + entrySize;
}

bool StopAsked() { return Tree->stopAsked; }

struct Delivered {
    uint32_t keys = 0;
    uint32_t values = 0;
    int deepest = 0;
};

int OnKey(void* context, const char*) {
    ++static_cast<Delivered*>(context)->keys;
    return 0;
}

int OnValue(void* context, const char* keyPath, const char* name, uint32_t type,
            const uint8_t* data, uint32_t size) {
    Delivered& seen = *static_cast<Delivered*>(context);
    ++seen.values;
    if (DepthOf(keyPath) > seen.deepest) seen.deepest = DepthOf(keyPath);
    FUZZ_CHECK(type == 3);
    FUZZ_CHECK(size <= kKeyEntrySize);
    // The value is the one the server holds, whole: the same name and bytes.
    FUZZ_CHECK(name[0] == 'v');
    uint32_t index = static_cast<uint32_t>(std::strtoul(name + 1, nullptr, 10));
    FUZZ_CHECK(index < Tree->values);
    FUZZ_CHECK(ValueName(index) == name);
    FUZZ_CHECK(ValueData(index) == std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

void RunKeyWalk(KeyTree& tree) {
    Tree = &tree;
    const ServerKeyLibrary library = {EnumSubKeys, EnumValues, Unpack, StopAsked};
    Delivered seen;
    uint32_t keys = 0, values = 0;
    uint32_t status = WalkKeyOnServer(library, "Q", "K", &keys, &values, 1, 1, &seen, OnKey,
                                      OnValue);
    FUZZ_CHECK(keys == seen.keys && keys <= kMostServerKeys);
    FUZZ_CHECK(values == seen.values && values <= kMostServerValues);
    FUZZ_CHECK(seen.deepest <= kDeepestServerKey);
    FUZZ_CHECK(!tree.listedAfterStop);
    FUZZ_CHECK(status != kWalkStopped || tree.stopAsked);
    Tree = nullptr;
}

// ---- The input: a network described in lines ---------------------------------
//   samples N
//   server NAME [latency=N] [clients=N] [told=N] [fail] [every]
//   list NAME|- LEVEL LIST        (- and 0: the machine's own list)
//   keys [depth=N] [width=A,B,C,D] [values=N] [size=N] [name=N] [emptymore=N]
//        [repeat] [stop=N]
// Words are separated by blanks; in names and lists \xNN is a byte and
// \fN; is N filler characters "F". Anything else is ignored.

long long Number(const std::string& text, long long least, long long most) {
    long long value = std::strtoll(text.c_str(), nullptr, 0);
    return value < least ? least : value > most ? most : value;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'f') {
            size_t end = text.find(';', i);
            if (end == std::string::npos) end = text.size();
            out.append(static_cast<size_t>(Number(text.substr(i + 2, end - i - 2), 0, 2000)), 'F');
            i = end;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> Words(const std::string& line, size_t most) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size() && words.size() < most) {
        size_t start = line.find_first_not_of(' ', at);
        if (start == std::string::npos) break;
        size_t end = words.size() + 1 == most ? line.size() : line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

// "name=value" of an option word; false when the word is another option.
bool Option(const std::string& word, const char* name, std::string* value) {
    size_t length = std::strlen(name);
    if (word.compare(0, length, name) != 0 || word.size() <= length || word[length] != '=')
        return false;
    *value = word.substr(length + 1);
    return true;
}

void ReadServer(const std::vector<std::string>& w, Network& net) {
    Server& server = net.servers[Unescaped(w[1])];
    std::string value;
    for (size_t i = 2; i < w.size(); ++i) {
        if (Option(w[i], "latency", &value)) server.latencyMs = static_cast<uint32_t>(Number(value, 0, 5000));
        else if (Option(w[i], "clients", &value))
            server.clients = static_cast<int32_t>(static_cast<uint32_t>(Number(value, 0, 0xFFFFFFFF)));
        else if (Option(w[i], "told", &value)) server.told = static_cast<int>(Number(value, 0, 0xFFFF));
        else if (w[i] == "fail") server.answers = false;
        else if (w[i] == "every") server.everyLevel = true;
    }
}

void ReadKeys(const std::vector<std::string>& w, KeyTree& tree) {
    tree.present = true;
    std::string value;
    for (size_t i = 1; i < w.size(); ++i) {
        if (Option(w[i], "depth", &value)) tree.depth = static_cast<int>(Number(value, 0, 40));
        else if (Option(w[i], "values", &value)) tree.values = static_cast<uint32_t>(Number(value, 0, 40));
        else if (Option(w[i], "size", &value)) tree.valueSize = static_cast<uint32_t>(Number(value, 0, 1200));
        else if (Option(w[i], "name", &value)) tree.nameLength = static_cast<uint32_t>(Number(value, 0, 400));
        else if (Option(w[i], "emptymore", &value)) tree.emptyMoreDepth = static_cast<int>(Number(value, -1, 40));
        else if (Option(w[i], "stop", &value)) tree.stopAfter = static_cast<uint32_t>(Number(value, 0, 600));
        else if (w[i] == "repeat") tree.repeatForever = true;
        else if (Option(w[i], "width", &value)) {
            size_t at = 0;
            for (uint32_t& width : tree.width) {
                width = static_cast<uint32_t>(Number(value.substr(at), 0, 300));
                at = value.find(',', at);
                if (at == std::string::npos) break;
                ++at;
            }
        }
    }
}

void ReadInput(const std::string& text, Network& net, KeyTree& tree) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> w = Words(line, 16);
        if (w.empty()) continue;
        if (w[0] == "samples" && w.size() == 2) {
            net.samples = static_cast<int>(Number(w[1], 0, 3));
        } else if (w[0] == "server" && w.size() >= 2) {
            ReadServer(w, net);
        } else if (w[0] == "keys") {
            ReadKeys(w, tree);
        } else if (w[0] == "list") {
            std::vector<std::string> parts = Words(line, 4);
            if (parts.size() < 3) continue;
            int level = static_cast<int>(Number(parts[2], 0, 100));
            std::string list = parts.size() == 4 ? Unescaped(parts[3]) : "";
            list = list.substr(0, kListSize - 1);
            if (parts[1] == "-" && level == 0) net.first = list;
            else if (parts[1] != "-") net.servers[Unescaped(parts[1])].lists[level] = list;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Network net;
    KeyTree tree;
    ReadInput(std::string(reinterpret_cast<const char*>(data), size), net, tree);
    RunSearch(net);
    if (tree.present) RunKeyWalk(tree);
    return 0;
}
