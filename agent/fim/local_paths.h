// Windows paths of monitored locations ("c:\\data\\a.txt") to the local
// paths behind them.
#pragma once

#include <string>

// false when the path's drive is not a mapped volume or the path is not an
// absolute drive path.
bool fimLocalPath(const std::string& windowsPath, std::string* localPath);
