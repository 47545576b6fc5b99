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

// False (with errno) when a page cannot be read or the file not written.
bool WriteTiffClassF(const std::vector<TiffPage> &pages, const std::string &tiff_path);
