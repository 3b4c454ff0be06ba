// How many stored bytes a run will read, for its progress line: the sizes
// of image files, looked up with one stat each.
#pragma once

#include <cstdint>

// The size of the image file of a meta file; 0 when it cannot be looked at.
uint64_t store_image_bytes(const char* meta_path);

// The sizes of the images of every meta file listed in dir (not its
// subdirectories); 0 when dir cannot be listed.
uint64_t store_dir_image_bytes(const char* dir);
