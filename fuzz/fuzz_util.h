// Helpers shared by the fuzz targets: parsers that take a path get the
// input through a file in a private scratch directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes data to <scratch dir>/<name>, replacing what was there, and returns
// the path. The scratch directory is made once per process under $TMPDIR
// (or /tmp); a failure to write aborts, since the target would then test
// nothing.
std::string fuzz_write_file(const char* name, const uint8_t* data, size_t size);
