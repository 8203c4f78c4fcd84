// snapshot.h -- writing displayed frames as PNG files
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// PREFIX-NNNN.png for frame number n (from 1, four digits).
std::string snapshot_name(const std::string& prefix, int frame);

// Writes an RGB image whose rows are bottom-up (as read back from GL) as a
// top-down PNG. Returns false, after printing a message, when the write fails.
bool write_png_bottom_up(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

// The first name vintrel-NNNN.png (from last + 1) that no file in the working folder has yet; last is
// moved to its number, so later calls need not test the taken names again.
std::string free_snapshot_name(int& last);
