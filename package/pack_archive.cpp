#include "package/pack_archive.h"

#include <cstring>
#include <new>

namespace {

inline uint32_t read_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void write_le32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Writes `object` (an entry or an archive, through its own WriteToSink) to a new file at `path`.
template <typename Serialisable>
uint32_t save_to_file(Serialisable &object, const char *path) {
    FILE *file = fopen(path, "wb");
    if (!file)
        return 0;
    uint32_t written = object.WriteToSink(pack_file_sink, file);
    fclose(file);
    return written;
}

} // namespace

uint32_t pack_name_hash(const char *name) {
    return crc32_update(name, static_cast<uint32_t>(strlen(name)), PACK_HASH_SEED);
}

uint32_t pack_memory_sink(const void *bytes, uint32_t length, void *user) {
    auto *state = static_cast<PackMemorySink *>(user);
    uint32_t taken = length < state->Remaining ? length : state->Remaining;
    if (taken > 0) {
        memcpy(state->Cursor, bytes, taken);
        state->Cursor += taken;
        state->Remaining -= taken;
    }
    return taken;
}

uint32_t pack_file_sink(const void *bytes, uint32_t length, void *user) {
    return static_cast<uint32_t>(fwrite(bytes, 1, length, static_cast<FILE *>(user)));
}

// ---------------------------------------------------------------------------------------------------------
// CPackEntry

CPackEntry::~CPackEntry() {
    Unlink();
}

void CPackEntry::Unlink() {
    if (m_pPrev)
        m_pPrev->m_pNext = m_pNext;
    if (m_pNext)
        m_pNext->m_pPrev = m_pPrev;
    m_pPrev = nullptr;
    m_pNext = nullptr;
}

uint32_t CPackEntry::WriteToSink(PackSinkFn sink, void *user) {
    uint8_t header[PACK_HEADER_SIZE];
    write_le32(header, m_nSize);
    write_le32(header + 4, m_nHash);
    sink(header, 4, user);
    sink(header + 4, 4, user);
    if (m_nSize != 0)
        sink(m_pData, m_nSize, user);
    return m_nSize + PACK_HEADER_SIZE;
}

uint32_t CPackEntry::WriteToMemory(void *buffer, uint32_t length) {
    PackMemorySink state{length, static_cast<uint8_t *>(buffer)};
    return WriteToSink(pack_memory_sink, &state);
}

uint32_t CPackEntry::SaveToFile(const char *path) {
    return save_to_file(*this, path);
}

uint32_t CPackEntry::GetSerializedLength() {
    return m_nSize + PACK_HEADER_SIZE;
}

uint32_t CPackEntry::ReadFromMemory(const void *buffer, uint32_t length) {
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    if (length < PACK_HEADER_SIZE)
        return 0;
    uint32_t size = read_le32(bytes);
    if (size > length - PACK_HEADER_SIZE)
        return 0;
    m_nSize = size;
    m_nHash = read_le32(bytes + 4);
    m_pData = size != 0 ? bytes + PACK_HEADER_SIZE : nullptr;
    return size + PACK_HEADER_SIZE;
}

uint32_t CPackEntry::SetByName(const void *data, uint32_t size, const char *name) {
    uint32_t hash = pack_name_hash(name);
    SetByHash(data, size, hash);
    return hash;
}

void CPackEntry::SetByHash(const void *data, uint32_t size, uint32_t hash) {
    m_pData = static_cast<const uint8_t *>(data);
    m_nSize = size;
    m_nHash = hash;
}

// ---------------------------------------------------------------------------------------------------------
// CPackArchive

CPackArchive::CPackArchive() {
    m_Terminator.m_pPrev = &m_Terminator;
    m_Terminator.m_pNext = &m_Terminator;
}

CPackArchive::~CPackArchive() {
    Clear();
    // m_Terminator's own destructor then unlinks it from its empty ring.
}

void CPackArchive::Clear() {
    while (m_Terminator.m_pPrev != &m_Terminator)
        delete m_Terminator.m_pPrev;
}

uint32_t CPackArchive::WriteToSink(PackSinkFn sink, void *user) {
    uint32_t total = 0;
    for (CPackEntry *entry = m_Terminator.m_pNext; entry != &m_Terminator; entry = entry->m_pNext)
        total += entry->WriteToSink(sink, user);
    return total + m_Terminator.WriteToSink(sink, user);
}

uint32_t CPackArchive::WriteToMemory(void *buffer, uint32_t length) {
    auto *bytes = static_cast<uint8_t *>(buffer);
    uint32_t total = 0;
    auto write_one = [&](CPackEntry *entry) {
        // Each record gets what is left of the buffer; past its end a record writes nothing.
        uint32_t left = total < length ? length - total : 0;
        total += entry->WriteToMemory(left != 0 ? bytes + total : bytes, left);
    };
    for (CPackEntry *entry = m_Terminator.m_pNext; entry != &m_Terminator; entry = entry->m_pNext)
        write_one(entry);
    write_one(&m_Terminator);
    return total;
}

uint32_t CPackArchive::SaveToFile(const char *path) {
    return save_to_file(*this, path);
}

uint32_t CPackArchive::GetSerializedLength() {
    uint32_t total = PACK_HEADER_SIZE;
    for (CPackEntry *entry = m_Terminator.m_pNext; entry != &m_Terminator; entry = entry->m_pNext)
        total += entry->GetSerializedLength();
    return total;
}

uint32_t CPackArchive::ReadFromMemory(const void *buffer, uint32_t length) {
    Clear();
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    uint32_t consumed = 0;
    for (;;) {
        CPackEntry *entry = new (std::nothrow) CPackEntry;
        if (!entry) {
            Clear();
            return 0;
        }
        uint32_t taken = entry->ReadFromMemory(bytes + consumed, length - consumed);
        if (taken == 0) {
            // The body ends, or a record runs, past LENGTH: a damaged body, not a short one.
            delete entry;
            Clear();
            return 0;
        }
        consumed += taken;
        if (entry->m_nSize == 0 && entry->m_nHash == 0) {
            delete entry;
            return consumed;
        }
        Append(entry);
    }
}

CPackEntry *CPackArchive::Append(CPackEntry *entry) {
    if (!entry || entry == &m_Terminator)
        return entry;
    entry->Unlink();
    entry->m_pPrev = m_Terminator.m_pPrev;
    entry->m_pNext = &m_Terminator;
    m_Terminator.m_pPrev->m_pNext = entry;
    m_Terminator.m_pPrev = entry;
    return entry;
}

CPackEntry *CPackArchive::FindByName(const char *name) {
    return FindByHash(pack_name_hash(name));
}

CPackEntry *CPackArchive::FindByHash(uint32_t hash) {
    for (CPackEntry *entry = m_Terminator.m_pPrev; entry != &m_Terminator; entry = entry->m_pPrev)
        if (entry->m_nHash == hash)
            return entry;
    return nullptr;
}

const uint8_t *CPackArchive::GetDataByHash(uint32_t *size, uint32_t hash) {
    if (size)
        *size = 0;
    CPackEntry *entry = FindByHash(hash);
    if (!entry)
        return nullptr;
    if (size)
        *size = entry->m_nSize;
    return entry->m_pData;
}

uint32_t CPackArchive::CopyDataByHash(void *destination, uint32_t length, uint32_t hash) {
    CPackEntry *entry = FindByHash(hash);
    if (!entry)
        return 0;
    uint32_t count = length < entry->m_nSize ? length : entry->m_nSize;
    if (count != 0)
        memcpy(destination, entry->m_pData, count);
    return entry->m_nSize;
}

CPackEntry *CPackArchive::DetachByName(const char *name) {
    return DetachByHash(pack_name_hash(name));
}

CPackEntry *CPackArchive::DetachByHash(uint32_t hash) {
    CPackEntry *entry = FindByHash(hash);
    if (entry)
        entry->Unlink();
    return entry;
}

void CPackArchive::RemoveByName(const char *name) {
    RemoveByHash(pack_name_hash(name));
}

void CPackArchive::RemoveByHash(uint32_t hash) {
    delete DetachByHash(hash);
}

CPackEntry *CPackArchive::GetFirst() {
    return m_Terminator.m_pNext != &m_Terminator ? m_Terminator.m_pNext : nullptr;
}

CPackEntry *CPackArchive::GetNext(CPackEntry *entry) {
    if (!entry || !entry->m_pNext || entry->m_pNext == &m_Terminator)
        return nullptr;
    return entry->m_pNext;
}
