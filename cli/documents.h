// Turning the files a user names into the page files the library sends.
#pragma once

#include <string>
#include <vector>

// Writes DIR/doc_p1.g3 ... one page file per page of the given files (page
// files as they are, BMPs through BmpToG3, PDF and PostScript through
// Ghostscript) and returns the number of pages. Fails with a message.
int PreparePages(const std::vector<std::string> &files, const std::string &dir, bool normal_resolution);

// The base name that names those page files for the library.
std::string PagesBaseName(const std::string &dir);

// Runs a program with arguments (no shell) and waits; true when it exits 0.
bool RunProgram(const std::vector<std::string> &argv);

// True when a program of that name is on the PATH.
bool ProgramOnPath(const char *name);
