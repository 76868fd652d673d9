// The mappings that file_map_readonly has made and file_buffer_free has not yet released, for the
// platform implementations of both (os/posix/file_io.cpp, os/win32/file_io.cpp): file_buffer_free takes
// either a heap block or a mapping, and this is how it tells them apart.
#pragma once

#include <cstdint>

struct FileMapping {
    const void *Base;
    uint64_t Length;
    intptr_t File;    // what the platform keeps open with the mapping (Windows: the file and the
    intptr_t Section; // section handles); unused on POSIX
};

// Records M. False when the record is full (a process maps its own file once; the room is for tests),
// and the caller then releases the mapping again.
bool file_mappings_add(const FileMapping &m);

// Removes the record of the mapping at BASE into *M. False when BASE is not a recorded mapping.
bool file_mappings_take(const void *base, FileMapping *m);

// Whether BASE is a recorded mapping.
bool file_mappings_contains(const void *base);
