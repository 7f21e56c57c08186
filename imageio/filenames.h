// File-name operations shared by the front ends and the codecs. Paths use '/'.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The running executable's directory with its trailing '/' (see executableDirectory).
void getModuleDirectory(std::string& buffer);
// Removes everything up to and including the last '/'.
void stripDirectory(std::string& path);
// Cuts path at its last '.', moving the text after it into extension; no dot: no change.
void splitExtension(std::string& path, std::string& extension);
// The codecs' path preparation: copies name into buffer; returns 0.
int getFullPath(const char* name, std::string& buffer);
// The codecs' input file opened for reading, or nullptr after reporting "can't get full path"
// or "can't open PATH".
std::FILE* openInputFile(const char* path);
// Flushes and closes a file just written, whatever happens: buffered bytes may meet a full
// disk only now, so a file counts as written only when this says true. Reports nothing.
bool closeWrittenFile(std::FILE* file);
// Sorts the first count names byte-wise ascending, logging each comparison.
void sortStringArray(std::vector<std::string>& items, int count);
// Byte-wise, case-sensitive comparison; logs "Comparing: a | b".
int compareStrings(const std::string& a, const std::string& b);
