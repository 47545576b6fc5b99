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

// Recognises every file by its content (TIFF, PDF, PostScript, BMP, PBM as
// the documents library reads them, raw Group 3 data that decodes) and
// refuses the rest and empty files with a message naming the file (exit
// status 2), before anything is written. With kAuto the call is standard
// when every document asks for standard. Then writes DIR/doc_p1.g3 ... one
// page file per page, each ending with RTC: documents through the documents
// library at the call's resolution, page files as they are.
PreparedPages PreparePages(const std::vector<std::string> &files, const std::string &dir, ResolutionChoice choice);

// The base name that names those page files for the library.
std::string PagesBaseName(const std::string &dir);

// Appends a return-to-control mark (six EOLs) to a page file whose data
// does not end with one; false when the file cannot be read or written.
bool EnsurePageEndsWithRtc(const std::string &path);
