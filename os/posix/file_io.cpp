// POSIX file services: huge-page-advised buffers, read-only mappings, 64-bit offsets through fseeko,
// fsync.
#include "os/file_io.h"

#include "os/file_mappings.h"
#include "os/fixed_storage.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

void file_buffer_free(const void *buffer) {
    FileMapping mapping;
    if (file_mappings_take(buffer, &mapping))
        munmap(const_cast<void *>(mapping.Base), static_cast<size_t>(mapping.Length));
    else
        free(const_cast<void *>(buffer));
}

#ifdef __linux__

bool file_may_be_mapped(const char *path) {
    std::string why;
    const bool stays = linux_file_stays(path, "/sys", &why);
    file_set_error_text(why.c_str());
    return stays;
}

#else

// Without a way to tell here, every file is read whole.
bool file_may_be_mapped(const char *) {
    file_set_error_text("the storage cannot be told apart here");
    return false;
}

#endif

const uint8_t *file_map_readonly(const char *path, uint64_t size_limit, uint64_t *size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        set_errno_text();
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        set_errno_text();
        close(fd);
        return nullptr;
    }
    const uint64_t length = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (!S_ISREG(st.st_mode) || length == 0 || length >= size_limit || length > SIZE_MAX) {
        file_set_error_text(length == 0 ? "the file is empty or not a regular file"
                                        : "the file is too large");
        close(fd);
        return nullptr;
    }
    void *base = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE, fd, 0);
    int mapped_errno = errno;
    close(fd); // the mapping keeps the file
    if (base == MAP_FAILED) {
        file_set_error_text(strerror(mapped_errno));
        return nullptr;
    }
#ifdef MADV_POPULATE_READ
    // All pages now, in one call: cheaper than a fault per few pages while the checksum walks the file,
    // and an I/O error comes back here as EFAULT or EIO instead of SIGBUS in the middle of a download. A
    // kernel older than 5.14 answers EINVAL; its pages come in as they are first read.
    if (madvise(base, static_cast<size_t>(length), MADV_POPULATE_READ) != 0 && errno != EINVAL) {
        set_errno_text();
        munmap(base, static_cast<size_t>(length));
        return nullptr;
    }
#endif
    if (!file_mappings_add(FileMapping{base, length, -1, -1})) {
        file_set_error_text("too many files mapped");
        munmap(base, static_cast<size_t>(length));
        return nullptr;
    }
    *size = length;
    return static_cast<const uint8_t *>(base);
}

bool file_buffer_is_mapping(const void *buffer) {
    return file_mappings_contains(buffer);
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
