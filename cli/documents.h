// Turning the files a user names into the page files the library sends.
#pragma once

#include <string>
#include <vector>

// The resolution asked for: by the pictures (kAuto), or as an option says.
enum class ResolutionChoice { kAuto, kFine, kStandard };

struct PreparedPages {
    int pages = 0;
    bool standard = false;  // the resolution of the call: standard, else fine
};

// Recognises every file by its content (BMP, PBM, PDF, PostScript, raw Group
// 3 data that decodes) and refuses the rest, empty files and TIFF with a
// message naming the file (exit status 2), before anything is written. Then
// writes DIR/doc_p1.g3 ... one page file per page, each ending with RTC:
// pictures scaled to the fax page at the call's resolution, PDF and
// PostScript through Ghostscript, page files as they are.
PreparedPages PreparePages(const std::vector<std::string> &files, const std::string &dir, ResolutionChoice choice);

// The base name that names those page files for the library.
std::string PagesBaseName(const std::string &dir);

// Appends a return-to-control mark (six EOLs) to a page file whose data
// does not end with one; false when the file cannot be read or written.
bool EnsurePageEndsWithRtc(const std::string &path);

// Runs a program with arguments (no shell) and waits; true when it exits 0.
bool RunProgram(const std::vector<std::string> &argv);

// True when a program of that name is on the PATH.
bool ProgramOnPath(const char *name);
