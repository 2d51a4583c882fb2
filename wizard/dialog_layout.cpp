#include "wizard/dialog_layout.h"

#include <cmath>

const std::vector<DialogControl>& DialogControls() {
    using K = ControlKind;
    static const std::vector<DialogControl> controls{
        {kIdStatic, K::Static,
         "Sepecify the Orbisk Server Details. This will be used by the agents to communicate with the Server",
         {21, 12, 263, 17}, 0},
        {kIdStatic, K::GroupBox, "Server Settings", {8, 37, 287, 172}, 0},
        {kIdStatic, K::Static, "Server Name :", {69, 62, 47, 10}, 0},
        {kIdStatic, K::Static, "Server Ip Address :", {51, 84, 64, 10}, 0},
        {kIdStatic, K::Static, "Server Database :", {55, 106, 61, 10}, 0},
        {kIdStatic, K::Static, "Server Protocol :", {60, 127, 55, 10}, 0},
        {kIdStatic, K::Static, "Server Port :", {72, 167, 44, 10}, 0},
        {kIdServerName, K::Edit, "", {120, 60, 100, 13}, 0},
        {kIdServerIp, K::Edit, "", {120, 82, 100, 13}, 0},
        {kIdServerPort, K::Edit, "", {120, 165, 100, 13}, 0},
        {kIdStatic, K::Static, "(Default 8400)", {227, 167, 61, 10}, 0},
        {kIdOk, K::Button, "OK", {126, 187, 55, 15}, 0},
        {kIdPostgres, K::Radio, "postgres", {120, 105, 44, 8}, 1},
        {kIdMysql, K::Radio, "mysql", {164, 104, 34, 10}, 1},
        {kIdMssql, K::Radio, "mssql", {201, 104, 34, 10}, 1},
        {kIdHttp, K::Radio, "http", {119, 126, 34, 10}, 2},
        {kIdHttps, K::Radio, "https", {164, 125, 34, 10}, 2},
        {kIdStatic, K::Static, "AWS Instance :", {63, 146, 51, 8}, 0},
        {kIdAwsNo, K::Radio, "no", {120, 146, 24, 10}, 3},
        {kIdAwsYes, K::Radio, "yes", {165, 147, 27, 10}, 3},
    };
    return controls;
}

Rect ToPixels(const Rect& units) {
    auto px = [](int u, double factor) { return static_cast<int>(std::lround(u * factor)); };
    const int left = px(units.x, 1.5);
    const int top = px(units.y, 1.625);
    const int right = px(units.x + units.w, 1.5);
    const int bottom = px(units.y + units.h, 1.625);
    return Rect{left, top, right - left, bottom - top};
}

const char* ControlKindName(ControlKind kind) {
    switch (kind) {
        case ControlKind::Static:
            return "static";
        case ControlKind::GroupBox:
            return "groupbox";
        case ControlKind::Edit:
            return "edit";
        case ControlKind::Button:
            return "button";
        case ControlKind::Radio:
            return "radio";
    }
    return "?";
}

std::string LayoutLine(const std::string& kind, int id, const Rect& pixels, const std::string& text) {
    std::string line = kind + " " + std::to_string(id) + " " + std::to_string(pixels.x) + " " +
                       std::to_string(pixels.y) + " " + std::to_string(pixels.w) + " " + std::to_string(pixels.h);
    if (!text.empty()) line += " " + text;
    return line;
}
