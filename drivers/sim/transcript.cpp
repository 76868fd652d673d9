#include "drivers/sim/transcript.h"

#include <system_error>

namespace tarnex::sim {

Transcript::~Transcript() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

bool Transcript::restart(const std::filesystem::path &file) {
    std::FILE *f = file.empty() ? nullptr : open_file(file, "wb");
    restart(f);
    return file.empty() || f != nullptr;
}

void Transcript::restart(std::FILE *file) {
    m_text.clear();
    if (m_file != nullptr)
        std::fclose(m_file);
    m_file = file;
}

void Transcript::add(std::string_view line) {
    m_text.append(line);
    m_text.push_back('\n');
    if (m_file != nullptr) {
        // Flushed per line: the reader may be another process, and this one may never exit cleanly.
        std::fwrite(line.data(), 1, line.size(), m_file);
        std::fputc('\n', m_file);
        std::fflush(m_file);
    }
}

std::string quote(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u >= 0x20 && u <= 0x7E) {
            out += c;
        } else {
            out += "\\x";
            out += digits[u >> 4];
            out += digits[u & 15];
        }
    }
    out += '"';
    return out;
}

std::FILE *open_file(const std::filesystem::path &path, const char *mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wmode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

bool write_file_replacing(const std::filesystem::path &path, const uint8_t *data, size_t size) {
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    std::filesystem::path temp = path;
    temp += ".part";
    std::FILE *f = open_file(temp, "wb");
    if (f == nullptr)
        return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    ok = std::fclose(f) == 0 && ok;
    if (ok)
        std::filesystem::rename(temp, path, ec);
    if (!ok || ec) {
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

} // namespace tarnex::sim
