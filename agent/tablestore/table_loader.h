// Loader of the server's table dumps: every element below the root of an
// XML document is one row of the table of the same name, its attributes the
// column values.
#pragma once

#include <cstddef>

// Parses the body and appends its rows to the store's tables (creating them
// from the dictionary on first use). A body that is not well-formed XML is
// logged and loads nothing.
void loadTableDataFromMemory(const char* body, std::size_t length);
void loadTableDataFromFile(const char* path);
