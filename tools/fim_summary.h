// The file-integrity part of the server output summary: per attribute data
// set (base, periodic, new) its uploads, items, checksums and tree views, and
// what the periodic data changed against the base.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Appends the summary of the basedata_, periodicdata_ and newdata_ zips among
// `zips` (other zips are ignored).
void summariseFimDataSets(const std::vector<std::filesystem::path>& zips, std::string& out);
