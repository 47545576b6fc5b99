// The demo's sample page, drawn here so the demo needs no files.
#pragma once

#include <string>

// Writes a 1728 x 2290 1-bit BMP: a frame, "TOLLAN DEMO PAGE n/total" in
// block letters, bars of growing thickness and a checkerboard.
bool WriteSamplePage(const std::string &path, int page, int total);
