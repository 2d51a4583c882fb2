// The dialog's layout: the shared control table in pixels against the
// reference listing kept with the tests, and the Windows dialog resource
// against the same table, so neither front end drifts.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "wizard/confora.h"
#include "wizard/dialog_layout.h"

namespace {

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') out.push_back(line);
    return out;
}

TEST(DialogLayout, TableInPixelsMatchesTheReferenceListing) {
    std::vector<std::string> computed{LayoutLine("dialog", kIdStatic, ToPixels(kDialogUnits), kDialogTitle)};
    for (const DialogControl& c : DialogControls())
        computed.push_back(LayoutLine(ControlKindName(c.kind), c.id, ToPixels(c.units), c.text));
    EXPECT_EQ(computed, lines(AMBRIK_SOURCE_DIR "/tests/wizard/data/dialog_layout.txt"));
}

TEST(DialogLayout, RoundingKeepsSharedEdgesTogether) {
    // The group box ends at the dialog's right edge in units and in pixels.
    const Rect group = ToPixels({8, 37, 287, 172});
    EXPECT_EQ(group.x + group.w, ToPixels(kDialogUnits).w);
    EXPECT_EQ(ToPixels({1, 1, 1, 1}), (Rect{2, 2, 1, 1}));  // 1.5 and 1.625 round up, 3.0 and 3.25 down
}

TEST(DialogLayout, WindowsResourceHasTheTableControlsIdsTextsAndUnits) {
    std::map<std::string, int> ids;
    {
        std::ifstream header(AMBRIK_SOURCE_DIR "/wizard/win32/resource.h");
        const std::regex define(R"(#define\s+(\w+)\s+\(?(-?\w+)\)?)");
        for (std::string line; std::getline(header, line);) {
            std::smatch m;
            if (std::regex_search(line, m, define)) ids[m[1]] = std::stoi(m[2], nullptr, 0);
        }
    }
    std::ifstream rc(AMBRIK_SOURCE_DIR "/wizard/win32/confora.rc");
    const std::regex textControl(R"re(^\s*(LTEXT|GROUPBOX|DEFPUSHBUTTON)\s+"([^"]*)",(\w+),(\d+),(\d+),(\d+),(\d+))re");
    const std::regex edit(R"(^\s*EDITTEXT\s+(\w+),(\d+),(\d+),(\d+),(\d+))");
    const std::regex radio(R"re(^\s*CONTROL\s+"([^"]*)",(\w+),"Button",([^,]*),(\d+),(\d+),(\d+),(\d+))re");
    const std::regex dialog(R"(DIALOGEX\s+0,\s*0,\s*(\d+),\s*(\d+))");
    const std::regex caption(R"re(^CAPTION\s+"([^"]*)")re");
    std::vector<DialogControl> found;
    Rect dialogUnits;
    std::string title;
    for (std::string line; std::getline(rc, line);) {
        std::smatch m;
        if (std::regex_search(line, m, dialog)) {
            dialogUnits = {0, 0, std::stoi(m[1]), std::stoi(m[2])};
        } else if (std::regex_search(line, m, caption)) {
            title = m[1];
        } else if (std::regex_search(line, m, textControl)) {
            const ControlKind kind = m[1] == "LTEXT"      ? ControlKind::Static
                                     : m[1] == "GROUPBOX" ? ControlKind::GroupBox
                                                          : ControlKind::Button;
            found.push_back({ids.at(m[3]), kind, m[2],
                             {std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[7])}, 0});
        } else if (std::regex_search(line, m, edit)) {
            found.push_back({ids.at(m[1]), ControlKind::Edit, "",
                             {std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5])}, 0});
        } else if (std::regex_search(line, m, radio)) {
            found.push_back({ids.at(m[2]), ControlKind::Radio, m[1],
                             {std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[7])},
                             std::string(m[3]).find("WS_GROUP") != std::string::npos ? 1 : 0});
        }
    }
    EXPECT_EQ(dialogUnits, kDialogUnits);
    EXPECT_EQ(title, kDialogTitle);
    const auto& table = DialogControls();
    ASSERT_EQ(found.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].text + " " + std::to_string(table[i].id));
        EXPECT_EQ(found[i].id, table[i].id);
        EXPECT_EQ(found[i].kind, table[i].kind);
        EXPECT_EQ(found[i].text, table[i].text);
        EXPECT_EQ(found[i].units, table[i].units);
        // A radio button that starts a group in the resource starts a group in the table.
        if (table[i].kind == ControlKind::Radio && i > 0 && table[i - 1].kind == ControlKind::Radio &&
            table[i - 1].radioGroup != table[i].radioGroup) {
            EXPECT_EQ(found[i].radioGroup, 1);
        }
    }
}

}  // namespace
