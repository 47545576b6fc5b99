// Writes received page files as one multi-page TIFF Class F document: the
// Group 3 data as it is, one strip per page, least significant bit first.
#pragma once

#include <string>
#include <vector>

struct TiffPage {
    std::string g3_path;  // raw Group 3 page file
    int width;            // dots
    int rows;             // scan lines
};

// Pages are written one after the other, each page's data streamed from its
// file, so a document of any length needs a block of memory, not its size.
// The file must be new (it is created 0600 and never through a link). False
// (with errno) when it exists, a page cannot be read, a write fails, or the
// document would pass the 4 GiB that TIFF offsets reach; no file is left then.
bool WriteTiffClassF(const std::vector<TiffPage> &pages, const std::string &tiff_path);
