// The export report prints lists that servers publish. Whatever they publish:
// every piece of output is an indentation step or one whole line, no line
// carries a line break or control character of a server's, the walk stays
// within its depth and line bounds, and a report written to a file imports
// back: each server's line sets that server's value to that list, or is
// refused as malformed, and never sets anything else.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "fuzz_check.h"
#include "lists/import_line.h"
#include "lists/report_walk.h"

namespace {

constexpr char kRole[] = "Parent";
constexpr uint32_t kNoAnswer = 0x40000010;

// A network read from the fuzz input: the lists that the servers asked one
// after another publish, in the order they are asked. A list that starts with
// 0xFF stands for a server that does not answer.
class FuzzNetwork final : public ReportChannel {
public:
    FuzzNetwork(std::vector<std::string> answers, bool toFile)
        : answers_(std::move(answers)), toFile_(toFile) {}

    uint32_t Ask(const char* server, const char* role, int level, char (&list)[kListSize],
                 uint32_t* elapsedMs) override {
        FUZZ_CHECK(level >= 1 && level <= kMaxReportLevel);
        FUZZ_CHECK(std::strcmp(role, kRole) == 0);
        *elapsedMs = 7;
        const std::string answer = asked_ < answers_.size() ? answers_[asked_] : "\xFF";
        ++asked_;
        pending_ = {server, level, ""};
        if (!answer.empty() && answer[0] == '\xFF') return kNoAnswer;
        CopyText(list, answer);
        pending_.list = list;
        return 0;
    }
    void TimingNote(char (&note)[kReportNoteSize], uint32_t elapsedMs) override {
        FormatText(note, "lapso %d ms resultado %x", static_cast<int>(elapsedMs), 0u);
    }
    void FailureNote(char (&note)[kReportNoteSize], uint32_t elapsedMs,
                     uint32_t status) override {
        FormatText(note, "lapso %d ms, error %x", static_cast<int>(elapsedMs), status);
    }
    void Print(const char* text) override {
        if (std::strcmp(text, "  ") == 0) {
            ++indent_;
            return;
        }
        size_t length = std::strlen(text);
        FUZZ_CHECK(length > 0 && text[length - 1] == '\n');
        for (size_t i = 0; i + 1 < length; ++i) {
            unsigned char byte = static_cast<unsigned char>(text[i]);
            FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
        }
        FUZZ_CHECK(indent_ <= kMaxReportLevel + 1);
        ++lines_;
        if (toFile_ && pending_.server.size()) CheckImportsBack(text);
        pending_ = {};
        indent_ = 0;
    }
    bool ToFile() const override { return toFile_; }

    size_t Lines() const { return lines_; }

private:
    struct Asked {
        std::string server;
        int level = 0;
        std::string list;
    };

    // The line of a server that answered, read as an import reads it.
    void CheckImportsBack(const char* text) {
        static NormalisedLine line;
        line.Reset();
        for (int i = 0; i < indent_; ++i) line.Add(' '), line.Add(' ');
        for (const char* p = text; *p && *p != '\n'; ++p) line.Add(static_cast<unsigned char>(*p));
        static ImportEntry entry;
        ImportLineKind kind = ParseImportLine(line, entry);
        bool answered = !pending_.list.empty() && CanStandOnReportLine(pending_.list);
        if (!answered) {
            FUZZ_CHECK(kind == ImportLineKind::Ignored);
            return;
        }
        FUZZ_CHECK(kind != ImportLineKind::Ignored);
        if (kind == ImportLineKind::Malformed) return;
        // As the import reads any text: runs of blanks are one blank.
        std::string published;
        for (char c : pending_.list)
            if (c != ' ' || published.empty() || published.back() != ' ') published += c;
        char compact[kListSize];
        FUZZ_CHECK(CompactServerList(published.data(), published.size(), compact,
                                     sizeof compact));
        // The import drops the blanks around a name, as it does in lists.
        std::string server = pending_.server;
        server.erase(0, server.find_first_not_of(' '));
        server.erase(server.find_last_not_of(' ') + 1);
        FUZZ_CHECK(entry.machine == server);
        FUZZ_CHECK(std::string(entry.valueName) ==
                   std::string("RoamManaging") + kRole + "Level" + std::to_string(pending_.level));
        FUZZ_CHECK(!entry.isDelete && std::strcmp(entry.list, compact) == 0);
    }

    std::vector<std::string> answers_;
    bool toFile_;
    size_t asked_ = 0;
    Asked pending_;
    int indent_ = 0;
    size_t lines_ = 0;
};

// NUL-separated pieces: the first is this machine's list, the others the
// answers of the servers in the order they are asked.
std::vector<std::string> Pieces(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            pieces.emplace_back();
        else if (pieces.back().size() < kListSize - 1)
            pieces.back() += static_cast<char>(data[i]);
    }
    return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<std::string> pieces = Pieces(data + 1, size - 1);
    std::string local = pieces.front();
    pieces.erase(pieces.begin());
    FuzzNetwork network(pieces, (data[0] & 1) != 0);
    ReportLocalList(network, kRole, local.c_str());
    FUZZ_CHECK(network.Lines() <= static_cast<size_t>(kMaxReportedServers) + 2);
    return 0;
}
