// Loader of the server's table dumps: every element below the root of an
// XML document is one row of the table of the same name, its attributes the
// column values.
#pragma once

#include <cstddef>
#include <cstdio>

// Parses the body and appends its rows to the store's tables (creating them
// from the dictionary on first use). A body that is not well-formed XML is
// logged and loads nothing. The document is streamed (read twice, never held
// as a tree), so a large dump costs its rows and little else.
void loadTableDataFromMemory(const char* body, std::size_t length);
void loadTableDataFromFile(const char* path);
// The same for a document in an open file, read from its start (the file
// must be seekable; it stays open).
void loadTableDataFromStream(std::FILE* file);
