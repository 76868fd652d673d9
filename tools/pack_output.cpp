#include "tools/pack_output.h"

#include <cerrno>
#include <cstring>

#include "os/file_io.h"
#include "os/file_system.h"

bool PackOutput::Open(const char *path, bool executable) {
    Abandon();
    m_Path = path;
    m_nWritten = 0;
    m_bFailed = false;
    m_Error.clear();
    // The process id keeps concurrent runs apart, the counter a stale file left by a killed run.
    for (int attempt = 0; attempt < 100 && !m_pFile; attempt++) {
        m_TempPath = m_Path + ".tmp-" + std::to_string(file_process_id()) + "-" + std::to_string(attempt);
        FileStatus status;
        if (file_status(m_TempPath.c_str(), &status) && status.Exists)
            continue;
        m_pFile = file_create_new(m_TempPath.c_str(), executable);
        if (!m_pFile) {
            Fail("cannot create", file_error_text());
            m_TempPath.clear();
            return false;
        }
    }
    if (!m_pFile) {
        Fail("cannot create", "too many stale temporary files next to it");
        m_TempPath.clear();
        return false;
    }
    return true;
}

void PackOutput::Fail(const char *what, const char *reason) {
    if (!m_bFailed) {
        m_bFailed = true;
        m_Error = std::string(what) + " " + m_Path + ": " + reason;
    }
}

bool PackOutput::Write(const void *bytes, uint64_t length) {
    if (m_bFailed || !m_pFile)
        return false;
    const auto *p = static_cast<const uint8_t *>(bytes);
    while (length > 0) {
        size_t piece = length < (size_t(1) << 30) ? static_cast<size_t>(length) : size_t(1) << 30;
        errno = 0;
        if (fwrite(p, 1, piece, m_pFile) != piece) {
            Fail("cannot write", errno ? strerror(errno) : "write error");
            return false;
        }
        p += piece;
        length -= piece;
        m_nWritten += piece;
    }
    return true;
}

bool PackOutput::Commit() {
    if (!m_pFile)
        return false;
    if (!m_bFailed && !file_sync(m_pFile))
        Fail("cannot write", file_error_text());
    errno = 0;
    if (fclose(m_pFile) != 0 && !m_bFailed)
        Fail("cannot write", errno ? strerror(errno) : "close error");
    m_pFile = nullptr;
    if (!m_bFailed && !file_replace(m_TempPath.c_str(), m_Path.c_str())) {
        std::string reason = file_error_text();
        m_bFailed = true;
        m_Error = "cannot rename " + m_TempPath + " to " + m_Path + ": " + reason;
    }
    if (m_bFailed) {
        file_remove(m_TempPath.c_str());
        m_TempPath.clear();
        return false;
    }
    m_TempPath.clear();
    return true;
}

void PackOutput::Abandon() {
    if (m_pFile) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    if (!m_TempPath.empty()) {
        file_remove(m_TempPath.c_str());
        m_TempPath.clear();
    }
}

uint32_t pack_output_sink(const void *bytes, uint32_t length, void *user) {
    return static_cast<PackOutput *>(user)->Write(bytes, length) ? length : 0;
}

bool write_whole_file(const char *path, const void *data, uint64_t size, bool executable,
                      std::string *error) {
    PackOutput out;
    if (out.Open(path, executable) && out.Write(data, size) && out.Commit())
        return true;
    if (error)
        *error = out.Error();
    return false;
}

bool make_directories(const char *path, std::string *error) {
    const std::string full = path;
    // Each folder below the root (a drive, a share \\server\share) in turn, the root itself never: a share
    // cannot be made, and asking for it fails.
    for (size_t i = file_root_length(path) + 1; i <= full.size(); i++) {
        if (i < full.size() && full[i] != '/' && full[i] != '\\')
            continue;
        std::string part = full.substr(0, i);
        if (part.back() == '/' || part.back() == '\\')
            continue;
        FileStatus status;
        if (file_status(part.c_str(), &status) && status.Exists && status.IsDirectory)
            continue;
        if (!file_make_directory(part.c_str())) {
            if (error)
                *error = "cannot create " + part + ": " + file_error_text();
            return false;
        }
    }
    return true;
}
