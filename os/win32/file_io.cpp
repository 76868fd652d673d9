// Windows file services: 64-bit offsets through the C runtime's _fseeki64, _commit for flushing.
#include "os/file_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <io.h>

namespace {

thread_local char t_error_text[256];

void set_errno_text() {
    file_set_error_text(strerror(errno));
}

} // namespace

void file_set_error_text(const char *text) {
    snprintf(t_error_text, sizeof t_error_text, "%s", text ? text : "");
}

const char *file_error_text() {
    return t_error_text;
}

// Windows grants large pages only to accounts holding the lock-memory privilege, which an operator's
// account does not; a plain heap block is what is left.
void *file_buffer_alloc(uint64_t size) {
    if (size == 0)
        size = 1;
    if (size > SIZE_MAX / 2) {
        file_set_error_text(strerror(ENOMEM));
        return nullptr;
    }
    void *buffer = malloc(static_cast<size_t>(size));
    if (!buffer)
        file_set_error_text(strerror(ENOMEM));
    return buffer;
}

void file_buffer_free(void *buffer) {
    free(buffer);
}

int64_t file_size64(FILE *file) {
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        set_errno_text();
        return -1;
    }
    int64_t size = _ftelli64(file);
    if (size < 0 || _fseeki64(file, 0, SEEK_SET) != 0) {
        set_errno_text();
        return -1;
    }
    return size;
}

bool file_seek64(FILE *file, int64_t offset, int origin) {
    if (_fseeki64(file, offset, origin) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}

bool file_sync(FILE *file) {
    if (fflush(file) != 0 || _commit(_fileno(file)) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}
