// POSIX file services: huge-page-advised buffers, 64-bit offsets through fseeko, fsync.
#include "os/file_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

thread_local char t_error_text[256];

// Transparent huge pages are 2 MiB on x86-64. Below a few of them the advice gains nothing.
constexpr uint64_t HUGE_PAGE = 2u << 20;
constexpr uint64_t HUGE_BUFFER_MIN = 4 * HUGE_PAGE;

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

void *file_buffer_alloc(uint64_t size) {
    if (size == 0)
        size = 1;
    if (size > SIZE_MAX / 2) {
        file_set_error_text(strerror(ENOMEM));
        return nullptr;
    }
    if (size < HUGE_BUFFER_MIN) {
        void *buffer = malloc(size);
        if (!buffer)
            set_errno_text();
        return buffer;
    }
    // Aligned to a huge page and advised, so that the kernel backs the block with 2 MiB pages at first
    // touch: 512 times fewer faults while the read fills it. The block still comes from malloc's family,
    // so free() releases it; the advice is a hint and its failure is harmless (THP off, old kernel).
    void *buffer = nullptr;
    int rc = posix_memalign(&buffer, HUGE_PAGE, size);
    if (rc != 0) {
        file_set_error_text(strerror(rc));
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    madvise(buffer, size & ~(HUGE_PAGE - 1), MADV_HUGEPAGE);
#endif
    return buffer;
}

void file_buffer_free(void *buffer) {
    free(buffer);
}

int64_t file_size64(FILE *file) {
    if (fseeko(file, 0, SEEK_END) != 0) {
        set_errno_text();
        return -1;
    }
    off_t size = ftello(file);
    if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        set_errno_text();
        return -1;
    }
    return static_cast<int64_t>(size);
}

bool file_seek64(FILE *file, int64_t offset, int origin) {
    if (fseeko(file, static_cast<off_t>(offset), origin) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}

bool file_sync(FILE *file) {
    if (fflush(file) != 0 || fsync(fileno(file)) != 0) {
        set_errno_text();
        return false;
    }
    return true;
}
