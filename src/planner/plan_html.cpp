#include "planner/plan_html.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "engine/role_table.h"
#include "planner/file_text.h"
#include "planner/plan_report.h"
#include "planner/plan_text.h"

namespace {

constexpr int kColumnWidth = 250;
constexpr int kNodeWidth = 180;
constexpr int kNodeHeight = 40;
constexpr int kRowHeight = 56;
constexpr int kTop = 30;
constexpr int kLeft = 10;
// A label's box: wide enough for the widest bold digit of the 12 px font.
constexpr int kLabelCharWidth = 8;
constexpr int kLabelAscent = 11;
constexpr int kLabelDescent = 3;
constexpr int kLabelStep = kLabelAscent + kLabelDescent;

std::string Escaped(std::string_view text) {
    std::string escaped;
    for (char c : Utf8FromAnsi(text)) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

void Out(const std::string& text) { std::fputs(text.c_str(), stdout); }

struct Node {
    std::string name;
    int column;  // 0 the sites, then the level
    int row;
    uint32_t machines = 0;  // of a site, or ending on a server
    double probes = 0;
    const Finding* finding = nullptr;  // the most severe one about it
    int X() const { return kLeft + column * kColumnWidth; }
    int Y() const { return kTop + row * kRowHeight; }
};

// One role's drawing: its nodes by level and the edges of its tree and ends.
class Drawing {
public:
    Node& Place(const std::string& name, int column) {
        auto [entry, isNew] = index_.try_emplace(NameKey(name) + (column ? "" : "\n site"));
        if (isNew) {
            entry->second = nodes_.size();
            int row = rows_[column]++;
            nodes_.push_back({name, column, row});
        }
        return nodes_[entry->second];
    }
    Node* Find(const std::string& name, bool site) {
        auto found = index_.find(NameKey(name) + (site ? "\n site" : ""));
        return found == index_.end() ? nullptr : &nodes_[found->second];
    }
    void AddWalk(const PlannedWalk& walk) {
        Place(walk.site->name, 0).machines = walk.site->machines;
        for (const PlannedLevel& level : walk.levels) {
            for (const PlannedServer& server : level.servers) {
                Place(server.name, level.level);
                if (level.level > 1) tree_.insert({NameKey(level.owner), server.name});
            }
        }
    }
    // The site's machines along their walk: through each level's winner to
    // the servers they end on.
    void AddEnds(const PlannedWalk& walk, const char* style) {
        std::string from = NameKey(walk.site->name) + "\n site";
        for (const PlannedLevel& level : walk.levels) {
            if (level.best < 0 || level.finalLevel) break;
            std::string to = NameKey(level.servers[static_cast<size_t>(level.best)].name);
            ends_.push_back({from, to, walk.site->machines, walk.site->machines, style, false});
            from = to;
        }
        for (const Share& share : MachinesOn(walk)) {
            if (share.server.empty() || !share.machines) continue;
            ends_.push_back({from, NameKey(share.server), share.machines, walk.site->machines,
                             style, true});
            Node* server = Find(share.server, false);
            if (server && std::string_view(style) != "old") server->machines += share.machines;
        }
    }
    void Mark(const Finding& finding) {
        std::string first = finding.place.substr(0, finding.place.find(' '));
        for (bool site : {true, false}) {
            Node* node = Find(first == kLocalName ? std::string() : first, site);
            if (node && (!node->finding || finding.severity == Severity::Problem))
                node->finding = &finding;
        }
    }
    void SetProbes(const LoadEstimate& load) {
        for (const ServerLoad& server : load.hourly)
            if (Node* node = Find(server.name, false)) node->probes = server.Total();
    }
    void Print() const {
        int rows = 1, columns = 1;
        for (const auto& [column, count] : rows_) {
            rows = std::max(rows, count);
            columns = std::max(columns, column + 1);
        }
        std::vector<Label> labels = PlaceLabels();
        int height = kTop + rows * kRowHeight;
        for (const Label& label : labels) height = std::max(height, label.y + kLabelDescent + 4);
        Out(Concat({"<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"",
                    std::to_string(kLeft * 2 + (columns - 1) * kColumnWidth + kNodeWidth),
                    "\" height=\"", std::to_string(height), "\">\n"}));
        for (int column = 0; column < columns; ++column)
            Out(Concat({"<text class=\"head\" x=\"", std::to_string(kLeft + column * kColumnWidth),
                        "\" y=\"18\">", column ? Concat({"level ", std::to_string(column)}) : "sites",
                        "</text>\n"}));
        for (const auto& [owner, server] : tree_) {
            const Node* from = FindConst(owner);
            const Node* to = FindConst(NameKey(server));
            if (from && to) Edge(*from, *to, "tree", 1);
        }
        for (const End& end : ends_) {
            const Node* from = FindConst(end.from);
            const Node* to = FindConst(end.to);
            if (!from || !to) continue;
            double width = 1.5 + 6.0 * end.machines / std::max<uint32_t>(end.of, 1);
            Edge(*from, *to, end.style, width);
        }
        for (const Label& label : labels)
            Out(Concat({"<text class=\"label ", label.style, "\" x=\"", std::to_string(label.x),
                        "\" y=\"", std::to_string(label.y), "\">", label.text, "</text>\n"}));
        double most = 1;
        for (const Node& node : nodes_) most = std::max(most, node.probes);
        for (const Node& node : nodes_) Box(node, most);
        Out("</svg>\n");
    }

private:
    struct End {
        std::string from, to;  // node keys
        uint32_t machines, of;
        const char* style;  // "end", "old" or "new"
        bool labelled;      // the last step, to where the machines end up
    };
    const Node* FindConst(const std::string& key) const {
        auto found = index_.find(key);
        return found == index_.end() ? nullptr : &nodes_[found->second];
    }
    struct Label {
        std::string text;
        const char* style;
        int x, y;  // of the baseline's start
        bool Overlaps(const Label& other) const {
            int width = static_cast<int>(text.size()) * kLabelCharWidth;
            int otherWidth = static_cast<int>(other.text.size()) * kLabelCharWidth;
            return x < other.x + otherWidth && other.x < x + width &&
                   y - kLabelAscent < other.y + kLabelDescent &&
                   other.y - kLabelAscent < y + kLabelDescent;
        }
    };
    // Each end's figure near its arrow's end, where edges to one server part;
    // figures of ends that meet there go one below the other.
    std::vector<Label> PlaceLabels() const {
        std::vector<Label> labels;
        for (const End& end : ends_) {
            const Node* to = FindConst(end.to);
            if (!end.labelled || !FindConst(end.from) || !to) continue;
            std::string_view style = end.style;
            std::string text = std::to_string(end.machines);
            if (style == "old") text = "was " + text;
            if (style == "new") text = "now " + text;
            Label label{text, end.style, to->X() - 62,
                        to->Y() + kNodeHeight / 2 - 4 + (style == "old" ? kLabelStep : 0)};
            auto taken = [&] {
                for (const Label& placed : labels)
                    if (label.Overlaps(placed)) return true;
                return false;
            };
            while (taken()) label.y += kLabelStep;
            labels.push_back(std::move(label));
        }
        return labels;
    }
    static void Edge(const Node& from, const Node& to, const char* style, double width) {
        int x1 = from.X() + kNodeWidth, y1 = from.Y() + kNodeHeight / 2;
        int x2 = to.X(), y2 = to.Y() + kNodeHeight / 2;
        int middle = (x1 + x2) / 2;
        char path[256];
        std::snprintf(path, sizeof path,
                      "<path class=\"%s\" d=\"M%d %d C%d %d %d %d %d %d\" stroke-width=\"%.1f\"/>\n",
                      style, x1, y1, middle, y1, middle, y2, x2, y2, width);
        Out(path);
    }
    static void Box(const Node& node, double most) {
        // Shaded by the probes an hour it receives: white to deep blue.
        double share = node.column ? node.probes / most : 0;
        int red = static_cast<int>(244 - share * (244 - 43));
        int green = static_cast<int>(248 - share * (248 - 108));
        int blue = static_cast<int>(251 - share * (251 - 176));
        char fill[32];
        std::snprintf(fill, sizeof fill, "rgb(%d,%d,%d)", red, green, blue);
        std::string frame = !node.finding ? "plain"
                            : node.finding->severity == Severity::Problem ? "problem"
                                                                           : "note";
        std::string x = std::to_string(node.X()), y = std::to_string(node.Y());
        Out(Concat({"<g><title>", Escaped(node.name),
                    node.finding ? Concat({": ", Escaped(node.finding->reason)}) : "",
                    "</title><rect class=\"", frame, "\" x=\"", x, "\" y=\"", y, "\" width=\"",
                    std::to_string(kNodeWidth), "\" height=\"", std::to_string(kNodeHeight),
                    "\" rx=\"6\" fill=\"", node.column ? fill : "#fff8e6", "\"/>\n"}));
        const char* ink = share > 0.55 ? "light" : "dark";
        Out(Concat({"<text class=\"name ", ink, "\" x=\"", std::to_string(node.X() + 8), "\" y=\"",
                    std::to_string(node.Y() + 17), "\">", Escaped(node.name),
                    node.finding ? " \xE2\x9A\xA0" : "", "</text>\n"}));
        char figures[96];
        if (node.column == 0)
            std::snprintf(figures, sizeof figures, "%u machines", node.machines);
        else
            std::snprintf(figures, sizeof figures, "%u clients, %.0f probes/h", node.machines,
                          node.probes);
        Out(Concat({"<text class=\"figures ", ink, "\" x=\"", std::to_string(node.X() + 8),
                    "\" y=\"", std::to_string(node.Y() + 33), "\">", figures, "</text></g>\n"}));
    }

    std::vector<Node> nodes_;
    std::map<std::string, size_t> index_;
    std::map<int, int> rows_;
    std::set<std::pair<std::string, std::string>> tree_;  // owner's key, server
    std::vector<End> ends_;
};

void Head(const std::string& title) {
    Out("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>");
    Out(Escaped(title));
    Out("</title>\n<style>\n"
        "body{font-family:sans-serif;margin:24px;color:#1a202c;background:#fff}\n"
        "h1{font-size:20px}h2{font-size:17px;margin-top:28px}\n"
        ".summary{font-size:15px;background:#edf2f7;padding:8px 12px;border-radius:6px}\n"
        "svg text{font-size:12px}svg .head{font-weight:bold;fill:#4a5568}\n"
        "svg .name{font-weight:bold}svg .light{fill:#fff}svg .dark{fill:#1a202c}\n"
        "svg .label{font-weight:bold;fill:#2b6cb0}svg .label.old{fill:#c53030}"
        "svg .label.new{fill:#2f855a}\n"
        "path{fill:none}path.tree{stroke:#cbd5e0;stroke-dasharray:2 3}"
        "path.end{stroke:#2b6cb0;opacity:.7}path.new{stroke:#2f855a;opacity:.8}"
        "path.old{stroke:#c53030;stroke-dasharray:6 4;opacity:.7}\n"
        "rect.plain{stroke:#4a5568}rect.note{stroke:#d69e2e;stroke-width:3}"
        "rect.problem{stroke:#c53030;stroke-width:3}\n"
        "li.problem{color:#c53030}li.note{color:#975a16}\n"
        "table{border-collapse:collapse}td,th{padding:2px 10px;text-align:left}\n"
        "</style></head><body>\n");
}

void Findings(const std::vector<const Finding*>& findings, const char* title) {
    if (findings.empty()) return;
    Out(Concat({"<h3>", title, "</h3><ul>\n"}));
    for (const Finding* finding : findings) {
        bool problem = finding->severity == Severity::Problem;
        Out(Concat({"<li class=\"", problem ? "problem" : "note", "\"><b>",
                    problem ? "problem" : "note", "</b> ", Escaped(finding->place), ": ",
                    Escaped(finding->reason), "</li>\n"}));
    }
    Out("</ul>\n");
}

// The findings about a role's places: those that name its role word, and
// those of the tree's lines (every role).
bool Concerns(const Finding& finding, const char* role) {
    std::string place = " " + finding.place + " ";
    return place.find(Concat({" ", role, " "})) != std::string::npos ||
           finding.place.rfind("line ", 0) == 0;
}

std::vector<const Finding*> FindingsOf(const ListCheck& check, const char* role) {
    std::vector<const Finding*> about;
    for (const Finding& finding : check.findings)
        if (Concerns(finding, role)) about.push_back(&finding);
    return about;
}

void Summary(const std::vector<const PlannedWalk*>& walks) {
    Out("<table><tr><th>site</th><th>machines</th><th>ends on</th></tr>\n");
    for (const PlannedWalk* walk : walks)
        Out(Concat({"<tr><td>", Escaped(walk->site->name), "</td><td>",
                    std::to_string(walk->site->machines), "</td><td>",
                    Escaped(WinnerText(*walk)), "</td></tr>\n"}));
    Out("</table>\n");
}

}  // namespace

void PrintPlanHtml(const Plan& plan, const LoadEstimate& load, const WalkFilter& filter) {
    Head("perchplan: where the clients end up");
    Out("<h1>Where a client at each site ends up</h1>\n");
    for (const RoleEntry& role : kRoleTable) {
        std::vector<const PlannedWalk*> walks;
        for (const PlannedWalk& walk : plan.walks)
            if (filter.Shows(walk) && std::string_view(walk.role) == role.word) walks.push_back(&walk);
        if (walks.empty()) continue;
        Drawing drawing;
        for (const PlannedWalk* walk : walks) drawing.AddWalk(*walk);
        for (const PlannedWalk* walk : walks) drawing.AddEnds(*walk, "end");
        std::vector<const Finding*> findings = FindingsOf(plan.check, role.word);
        for (const Finding* finding : findings) drawing.Mark(*finding);
        drawing.SetProbes(load);
        Out(Concat({"<h2>", role.word, "</h2>\n"}));
        drawing.Print();
        Summary(walks);
        Findings(findings, "Findings");
    }
    Out("</body></html>\n");
}

void PrintCompareHtml(const Plan& after, const PlanCompare& compare, const std::string& howRead,
                      const std::string& summary, const WalkFilter& filter) {
    Head("perchplan: what the change does");
    Out("<h1>What the change does</h1>\n");
    if (!howRead.empty()) Out(Concat({"<p>", Escaped(howRead), "</p>\n"}));
    Out(Concat({"<p class=\"summary\">", Escaped(summary), "</p>\n"}));
    LoadEstimate load = EstimateLoad(*after.table, after.walks);
    for (const RoleEntry& role : kRoleTable) {
        std::vector<const PlannedWalk*> walks;
        for (const PlannedWalk& walk : after.walks)
            if (filter.Shows(walk) && std::string_view(walk.role) == role.word) walks.push_back(&walk);
        std::vector<const Move*> moves;
        for (const Move& move : compare.moves)
            if (std::string_view((move.before ? move.before : move.after)->role) == role.word)
                moves.push_back(&move);
        if (walks.empty() && moves.empty()) continue;
        Drawing drawing;
        for (const PlannedWalk* walk : walks) drawing.AddWalk(*walk);
        for (const Move* move : moves)
            if (move->before) drawing.AddWalk(*move->before);
        std::set<const PlannedWalk*> moved;
        for (const Move* move : moves) {
            if (move->before) drawing.AddEnds(*move->before, "old");
            if (move->after) moved.insert(move->after);
        }
        for (const PlannedWalk* walk : walks) drawing.AddEnds(*walk, moved.count(walk) ? "new" : "end");
        std::vector<const Finding*> added;
        for (const Finding* finding : compare.added)
            if (Concerns(*finding, role.word)) added.push_back(finding);
        std::vector<const Finding*> removed;
        for (const Finding* finding : compare.removed)
            if (Concerns(*finding, role.word)) removed.push_back(finding);
        for (const Finding* finding : added) drawing.Mark(*finding);
        drawing.SetProbes(load);
        Out(Concat({"<h2>", role.word, "</h2>\n"}));
        drawing.Print();
        if (!moves.empty()) {
            Out("<table><tr><th>site</th><th>machines that move</th><th>before</th>"
                "<th>after</th></tr>\n");
            for (const Move* move : moves)
                Out(Concat({"<tr><td>", Escaped((move->before ? move->before : move->after)->site->name),
                            "</td><td>", std::to_string(move->machines), "</td><td>",
                            move->before ? Escaped(WinnerText(*move->before)) : "no list",
                            "</td><td>", move->after ? Escaped(WinnerText(*move->after)) : "no list",
                            "</td></tr>\n"}));
            Out("</table>\n");
        }
        Findings(added, "Findings the change adds");
        Findings(removed, "Findings the change removes");
    }
    Out("</body></html>\n");
}
