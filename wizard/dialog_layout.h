// The settings dialog's controls in dialog units, as both front ends lay
// them out, and their conversion to pixels for an 8-point dialog font.
#pragma once

#include <string>
#include <vector>

// Control ids (also in win32/resource.h for the resource compiler).
inline constexpr int kIdServerName = 1000;
inline constexpr int kIdServerIp = 1001;
inline constexpr int kIdServerPort = 1007;
inline constexpr int kIdOk = 1004;
inline constexpr int kIdMysql = 1017;
inline constexpr int kIdMssql = 1018;
inline constexpr int kIdPostgres = 1019;
inline constexpr int kIdHttp = 1020;
inline constexpr int kIdHttps = 1021;
inline constexpr int kIdAwsNo = 1034;
inline constexpr int kIdAwsYes = 1035;
inline constexpr int kIdStatic = -1;  // statics and the group box have no id

enum class ControlKind { Static, GroupBox, Edit, Button, Radio };

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Rect&) const = default;
};

struct DialogControl {
    int id;
    ControlKind kind;
    std::string text;  // statics, group box, buttons; empty for edit fields
    Rect units;        // x, y, width, height in dialog units
    int radioGroup;    // 1 database, 2 protocol, 3 AWS; 0 for other controls
};

inline constexpr Rect kDialogUnits{0, 0, 295, 215};

// Every control in creation (tab) order.
const std::vector<DialogControl>& DialogControls();

// Dialog units to pixels: horizontal units x 1.5, vertical units x 1.625
// (what Windows gives an 8-point "MS Shell Dlg" at 96 dpi, whose base units
// are 6 x 13 pixels). Both edges are converted and rounded, so that
// neighbouring controls keep touching or keep their gap.
Rect ToPixels(const Rect& units);

const char* ControlKindName(ControlKind kind);

// One line of a layout listing: "kind id x y width height text" (the text
// left out when empty). The dialog itself is kind "dialog".
std::string LayoutLine(const std::string& kind, int id, const Rect& pixels, const std::string& text);
