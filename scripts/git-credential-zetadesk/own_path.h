// The program's own file, found the way each platform offers it.
#pragma once

#include <cstddef>

// Writes the absolute path of the running program, symbolic links resolved
// and '/' as the separator, into `out` as UTF-8.  False when it cannot be
// found or does not fit in `size` bytes; errno then says why.
bool own_executable(char *out, std::size_t size);
