// POSIX directory and file-name services.
#include "os/file_system.h"
#include "os/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void set_errno_text() {
    file_set_error_text(strerror(errno));
}

} // namespace

bool file_status(const char *path, FileStatus *status) {
    *status = FileStatus{};
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        set_errno_text();
        return false;
    }
    status->Exists = true;
    status->IsDirectory = S_ISDIR(st.st_mode);
    status->IsRegular = S_ISREG(st.st_mode);
    status->Size = static_cast<uint64_t>(st.st_size);
    status->Volume = static_cast<uint64_t>(st.st_dev);
    status->Index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool file_same(const FileStatus &a, const FileStatus &b) {
    return a.Exists && b.Exists && a.Volume == b.Volume && a.Index == b.Index;
}

bool file_list_directory(const char *path, std::vector<std::string> *names) {
    names->clear();
    DIR *dir = opendir(path);
    if (!dir) {
        set_errno_text();
        return false;
    }
    errno = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names->emplace_back(entry->d_name);
        errno = 0;
    }
    bool ok = errno == 0;
    if (!ok)
        set_errno_text();
    closedir(dir);
    std::sort(names->begin(), names->end());
    return ok;
}

size_t file_root_length(const char *path) {
    size_t length = 0;
    while (path[length] == '/')
        ++length;
    return length;
}

bool file_make_directory(const char *path) {
    if (mkdir(path, 0777) == 0)
        return true;
    int error = errno;
    struct stat st;
    if (error == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    file_set_error_text(strerror(error));
    return false;
}

FILE *file_create_new(const char *path, bool executable) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, executable ? 0777 : 0666);
    if (fd < 0) {
        set_errno_text();
        return nullptr;
    }
    FILE *file = fdopen(fd, "wb");
    if (!file) {
        set_errno_text();
        close(fd);
        unlink(path);
    }
    return file;
}

bool file_replace(const char *from, const char *to) {
    if (rename(from, to) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}

bool file_remove(const char *path) {
    if (unlink(path) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}

uint32_t file_process_id() {
    return static_cast<uint32_t>(getpid());
}
