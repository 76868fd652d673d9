// Directory and file-name services used by the packer: status, listing, exclusive creation and atomic
// replacement. Paths are 8-bit text in the system's code page, as the C runtime's fopen takes them.
//
// Plain functions, safe on any thread. On failure they return false or null and leave a description for
// file_error_text() (os/file_io.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct FileStatus {
    bool Exists;
    bool IsDirectory;
    bool IsRegular;
    uint64_t Size;
    uint64_t Volume; // Volume and Index together name one file, whatever path reaches it
    uint64_t Index;
};

// Fills STATUS for PATH, following links. A missing path is not a failure: Exists is false.
bool file_status(const char *path, FileStatus *status);

// True when both statuses describe the same existing file (two paths to one file, hard links included).
bool file_same(const FileStatus &a, const FileStatus &b);

// The names of the entries of directory PATH, without "." and "..", sorted byte-wise.
bool file_list_directory(const char *path, std::vector<std::string> *names);

// How many leading characters of PATH name its root, which exists whenever the path can be reached and is
// never created: the leading slashes on POSIX; on Windows a drive (C: and C:\), a leading \ and a share
// (\\server\share\), also behind \\?\ or \\.\ (\\?\C:\, \\?\UNC\server\share\, \\?\Volume{...}\), with
// either separator. 0 for a relative path.
size_t file_root_length(const char *path);

// Creates directory PATH; succeeds when it already exists as a directory.
bool file_make_directory(const char *path);

// Creates PATH for binary writing, failing when anything exists under that name. EXECUTABLE makes it
// executable where the platform has such a mode. The caller fcloses the result.
FILE *file_create_new(const char *path, bool executable);

// Renames FROM to TO, replacing TO in one step where it exists: readers see the old or the new file, never a
// partial one. Both must be on the same volume.
bool file_replace(const char *from, const char *to);

// Deletes the file PATH.
bool file_remove(const char *path);

// This process's id, for names of temporary files that no other process picks.
uint32_t file_process_id();
