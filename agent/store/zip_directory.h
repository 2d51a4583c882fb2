// The folder zipper of the upload pipeline: every file of a folder becomes
// one entry named by its bare file name, deflated at level 9, with no time
// stamp, attributes, comment or extra field. Files are streamed through a
// 16000-byte buffer.
#pragma once

#include <string>
#include <vector>

// Most names taken from one folder for one zip; the rest wait for a later zip.
inline constexpr std::size_t kZipMaxNames = 511;

// Zips the files of folder (backslashes read as "/") into zipPath. Returns 1
// when the zip holds every file it set out to add, 0 when the folder could
// not be listed, the zip not be created, or a file not be added whole (the
// unfinished zip is then removed, so a 0 never leaves a zip behind).
// Sub-folders are skipped with a message. When added is given it receives the
// paths (folder + name) of the files stored in the zip, in entry order: the
// files a successful upload may delete.
int zipDirectory(const std::string& folder, const std::string& zipPath,
                 std::vector<std::string>* added = nullptr);
