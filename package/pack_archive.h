// The package record format and its container.
//
// A package body is a run of records followed by a terminator. Each record is a header of two u32
// little-endian values, the data size and the name hash, followed by the data; the terminator is a header
// with size 0 and hash 0 and no data. Records are back to back, with no alignment and no padding, and
// carry only the hash of their name.
//
// CPackEntry is one record in memory, a view on bytes it does not own. CPackArchive owns an ordered list of
// entries (oldest first, in body order), parses bodies, finds entries by name or hash and writes bodies.
// Neither class ever frees data bytes: entries made by a parse point into the caller's buffer, which must
// outlive every use of them. Both classes are used by one thread at a time and take no locks.
#pragma once

#include <cstdint>
#include <cstdio>

#include "package/crc32.h"

// The value that name hashes start from, and that the trailer's checksum starts from.
inline constexpr uint32_t PACK_HASH_SEED = 0x76543210;

// Bytes of a record header, and of the terminator.
inline constexpr uint32_t PACK_HEADER_SIZE = 8;

// The name hash: crc32_update over the name's bytes (no NUL, case-sensitive, no normalisation) from
// PACK_HASH_SEED. Two names with the same hash are the same entry as far as a package is concerned.
uint32_t pack_name_hash(const char *name);

// A byte sink for serialization: takes LENGTH bytes and returns how many it took.
typedef uint32_t (*PackSinkFn)(const void *bytes, uint32_t length, void *user);

// The memory sink's state: copies go to Cursor, never more than Remaining bytes in all.
struct PackMemorySink {
    uint32_t Remaining;
    uint8_t *Cursor;
};

// Memory sink; USER is a PackMemorySink. Copies what fits in Remaining, advances the cursor and lowers
// Remaining by that much, and returns it: a body written into a buffer that is too small is cut short
// instead of overrunning it.
uint32_t pack_memory_sink(const void *bytes, uint32_t length, void *user);

// File sink; USER is an open C runtime FILE. Returns fwrite's result. Write errors go no further: the
// serialization operations ignore the sink's result (the packer uses a checked sink of its own).
uint32_t pack_file_sink(const void *bytes, uint32_t length, void *user);

class CPackArchive;

class CPackEntry {
public:
    CPackEntry() = default;
    CPackEntry(const CPackEntry &) = delete;
    CPackEntry &operator=(const CPackEntry &) = delete;

    // Unlinks the entry from the list it is in, leaving that list consistent (deleting an entry that is
    // still in an archive removes it from the archive). The data is not freed.
    virtual ~CPackEntry();

    // Header then data (only when the size is non-zero) through SINK. Returns size + 8 whatever the sink
    // returned.
    virtual uint32_t WriteToSink(PackSinkFn sink, void *user);

    // The record into BUFFER, which should hold GetSerializedLength() bytes; nothing is written beyond
    // LENGTH. Returns size + 8.
    virtual uint32_t WriteToMemory(void *buffer, uint32_t length);

    // The record into a file created or truncated at PATH. Returns 0 when the file cannot be opened,
    // otherwise size + 8; later write errors are not reported.
    virtual uint32_t SaveToFile(const char *path);

    // size + 8.
    virtual uint32_t GetSerializedLength();

    // Takes one record from BUFFER: size, hash, and data pointing into BUFFER (null for size 0). Copies
    // nothing. Returns size + 8, or 0 when the header or the data would run past LENGTH; the entry is then
    // unchanged.
    virtual uint32_t ReadFromMemory(const void *buffer, uint32_t length);

    // Stores data and size and the hash of NAME; returns the hash.
    virtual uint32_t SetByName(const void *data, uint32_t size, const char *name);

    virtual void SetByHash(const void *data, uint32_t size, uint32_t hash);

    virtual uint32_t GetSize() { return m_nSize; }
    virtual uint32_t GetHash() { return m_nHash; }
    virtual const uint8_t *GetData() { return m_pData; }

private:
    friend class CPackArchive;

    void Unlink();

    CPackEntry *m_pPrev = nullptr; // previous (older) entry; null when not linked
    CPackEntry *m_pNext = nullptr; // next (newer) entry; null when not linked
    uint32_t m_nSize = 0;
    uint32_t m_nHash = 0;
    const uint8_t *m_pData = nullptr; // not owned
};

class CPackArchive {
public:
    CPackArchive();
    CPackArchive(const CPackArchive &) = delete;
    CPackArchive &operator=(const CPackArchive &) = delete;

    // Deletes every entry still held.
    virtual ~CPackArchive();

    // Deletes the entries, newest first, until the archive is empty.
    virtual void Clear();

    // Every entry oldest to newest, then the terminator, through SINK. Returns the body length.
    virtual uint32_t WriteToSink(PackSinkFn sink, void *user);

    // The body into BUFFER, which should hold GetSerializedLength() bytes; nothing is written beyond
    // LENGTH. Returns the body length.
    virtual uint32_t WriteToMemory(void *buffer, uint32_t length);

    // The body into a file created or truncated at PATH. Returns 0 when the file cannot be opened,
    // otherwise the body length; later write errors are not reported.
    virtual uint32_t SaveToFile(const char *path);

    // Sum of (size + 8) over the entries, plus 8 for the terminator.
    virtual uint32_t GetSerializedLength();

    // Replaces the contents with the records of the body in BUFFER, up to and including its terminator
    // (size 0 and hash 0), and returns the bytes consumed. Entries point into BUFFER. Returns 0, leaving the
    // archive empty, when a record or the terminator would run past LENGTH (nothing beyond LENGTH is ever
    // read) or an entry cannot be allocated. Bytes after the terminator are not looked at.
    virtual uint32_t ReadFromMemory(const void *buffer, uint32_t length);

    // Links ENTRY as the newest and takes ownership of it; an entry still linked elsewhere is unlinked
    // from there first. Returns ENTRY.
    virtual CPackEntry *Append(CPackEntry *entry);

    // FindByHash(pack_name_hash(name)).
    virtual CPackEntry *FindByName(const char *name);

    // The newest entry with HASH (so the one appended last wins among equal hashes), or null.
    virtual CPackEntry *FindByHash(uint32_t hash);

    // Data of the entry with HASH and its size through SIZE (may be null). Absent entry: null, size 0.
    // An entry of size 0 gives null too.
    virtual const uint8_t *GetDataByHash(uint32_t *size, uint32_t hash);

    // Copies min(LENGTH, size) bytes of the entry with HASH to DESTINATION and returns the entry's full
    // size (more than LENGTH means the copy was cut short). Absent entry: returns 0, copies nothing.
    virtual uint32_t CopyDataByHash(void *destination, uint32_t length, uint32_t hash);

    // DetachByHash(pack_name_hash(name)).
    virtual CPackEntry *DetachByName(const char *name);

    // Unlinks the entry FindByHash gives and hands it, and its ownership, to the caller; null when absent.
    virtual CPackEntry *DetachByHash(uint32_t hash);

    // RemoveByHash(pack_name_hash(name)).
    virtual void RemoveByName(const char *name);

    // Detaches the entry with HASH and deletes it; nothing when absent.
    virtual void RemoveByHash(uint32_t hash);

    // The oldest entry, or null when empty.
    virtual CPackEntry *GetFirst();

    // The next newer entry, or null after the newest (or for an entry that is not linked).
    virtual CPackEntry *GetNext(CPackEntry *entry);

private:
    // Heads the circular list: m_pNext is the oldest entry, m_pPrev the newest, both itself when empty.
    // Its size and hash stay 0, so writing it last writes the terminator.
    CPackEntry m_Terminator;
};
