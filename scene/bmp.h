// bmp.h -- reading uncompressed 24-bit BMP images into the image record
#pragma once

#include <string>

#include "scene/scene.h"

// Reads the 24-bit BMP file name into image (name, rectangle, size, RGB pixels with
// rows bottom-up). Rows are taken from the file's pixel data offset with their
// padding skipped; top-down files are turned bottom-up. A missing, damaged, compressed
// or not 24-bit file is a fatal input error.
void read_bmp(BmpImage& image, const std::string& name);
