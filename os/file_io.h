// File services that the C runtime does not give portably: a cheap buffer for a whole large file, a
// read-only mapping of a whole file, 64-bit positions, flushing to the device, and the last failure as
// text.
//
// Plain functions, safe on any thread. On failure they return null, false or -1 and leave a description
// for file_error_text() on the calling thread.
#pragma once

#include <cstdint>
#include <cstdio>

// Allocates a buffer of SIZE bytes (at least one) for reading a whole file into. Start-up reads files of
// hundreds of MB to GBs; a plain heap block of that size pays one page fault per 4 KiB page on first touch,
// which costs more than the read itself, so large buffers are aligned for and advised to use huge pages
// where the platform has them. Contents are unspecified. Returns null when the memory is not available.
void *file_buffer_alloc(uint64_t size);

// Releases a buffer from file_buffer_alloc or a mapping from file_map_readonly; null is accepted. No
// other function may release either.
void file_buffer_free(const void *buffer);

// Whether the file at PATH lies where a read-only mapping of it can be trusted as much as a copy read
// into memory: a read error in a mapped file ends the process (SIGBUS, an in-page error) instead of
// failing a read, so only a file that cannot go away in use is mapped: on disks whose bus cannot be
// unplugged, or in memory (os/fixed_storage.h says which). Windows: every disk of the file's volume,
// asked with IOCTL_STORAGE_QUERY_PROPERTY; Linux: the block devices under the file in sysfs. False,
// with the reason for file_error_text(), when not or when it cannot tell. Any thread; asks the system.
bool file_may_be_mapped(const char *path);

// Maps the whole file at PATH read-only into memory, when it has more than 0 and fewer than SIZE_LIMIT
// bytes, and stores its size in *SIZE. The pages are read in now where the system can say whether that
// worked (Linux), so that a read error is a failure here rather than a fault later. On Windows the file
// stays open without write sharing until the mapping is released. Returns null on any failure, with a
// description for file_error_text() and nothing printed. Release with file_buffer_free. Any thread.
const uint8_t *file_map_readonly(const char *path, uint64_t size_limit, uint64_t *size);

// Whether BUFFER is a mapping from file_map_readonly that has not been released.
bool file_buffer_is_mapping(const void *buffer);

// Size of an open file in bytes, leaving the position at the start; -1 on failure. Works beyond 2 GiB.
int64_t file_size64(FILE *file);

// Moves the position to OFFSET from ORIGIN (SEEK_SET, SEEK_CUR, SEEK_END), 64-bit on every platform.
bool file_seek64(FILE *file, int64_t offset, int origin);

// Flushes the C runtime's buffer and asks the system to put the file's data on the device, so that a file
// renamed into place afterwards is complete even after a power loss.
bool file_sync(FILE *file);

// Text of the last failure of a file_* function on this thread (a sentence fragment such as "No such file
// or directory"); empty when none.
const char *file_error_text();

// For the implementations of the file_* functions: records TEXT (copied, truncated to a line) as this
// thread's last failure.
void file_set_error_text(const char *text);
