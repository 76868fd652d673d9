/* Control interface of the simulated phone library (libtarnex_sim.so, tarnex_sim.dll).
 *
 * Besides the twelve driver operations of usb/driver_abi.h, the library exports these functions with C
 * linkage and undecorated names. Tests load the library by path, as the product does, and resolve them
 * by name; the TARNEX_SIM_* name macros and the function types below are there for that.
 *
 * Every function may be called from any thread at any time, also while another thread is inside a
 * driver operation; each takes the library's one lock. None blocks longer than it takes to copy memory
 * or write a file. Texts are 8-bit ASCII. The scenario and transcript formats are in
 * drivers/sim/README.md.
 *
 * Start-up: on its first call of any kind, the library loads the scenario file named by the environment
 * variable TARNEX_SIM_SCENARIO; without that variable it attaches one healthy phone (label "phone").
 * TARNEX_SIM_TRANSCRIPT and TARNEX_SIM_PARTITION_DIR, when set, override the scenario's
 * "transcript-file" and "partition-dir" for that start-up configuration. A scenario file that cannot be
 * read or parsed leaves no phone attached; the reason goes to standard error and to the transcript as
 * an "error" line. */
#ifndef TARNEX_SIM_CONTROL_H
#define TARNEX_SIM_CONTROL_H

#include <stddef.h>
#include <stdint.h>

/* The library marks its definitions for export; users of the header see plain declarations. */
#if defined(TARNEX_SIM_BUILDING) && defined(_WIN32)
#define TARNEX_SIM_API __declspec(dllexport)
#elif defined(TARNEX_SIM_BUILDING)
#define TARNEX_SIM_API __attribute__((visibility("default")))
#else
#define TARNEX_SIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Handle accounting since the last configuration (tarnex_sim_configure or tarnex_sim_reset). */
typedef struct {
    uint32_t opened;   /* handles handed out, of every kind */
    uint32_t closed;   /* handles closed by AdbCloseHandle */
    uint32_t open_now; /* opened - closed */
    uint32_t open_enumerations;
    uint32_t open_interfaces;
    uint32_t open_endpoints;
    uint32_t bad_closes;  /* AdbCloseHandle on a null, unknown or already closed handle */
    uint32_t bad_handles; /* any other operation on such a handle, or on a handle of the wrong kind */
} TarnexSimHandleStats;

/* Replaces the whole simulation with the scenario `text`: every phone, every partition, the handle
 * table (handles from before become unknown), the counters and the transcript start afresh. Relative
 * paths in the text are taken from the current directory. Returns 0; on a parse error returns -1, keeps
 * the previous simulation untouched and writes one line such as "line 4: unknown key 'vendr'" into
 * `error` (truncated to `error_size`, always terminated; `error` may be null). */
TARNEX_SIM_API int tarnex_sim_configure(const char *text, char *error, size_t error_size);

/* The same with the text of a file; relative paths in it are taken from the file's folder. A file that
 * cannot be read is an error like a parse error. */
TARNEX_SIM_API int tarnex_sim_configure_file(const char *path, char *error, size_t error_size);

/* Back to the start-up default: one healthy phone "phone", nothing written to files. */
TARNEX_SIM_API void tarnex_sim_reset(void);

/* Attaches or detaches the phone with this label, as a cable would. Detaching kills every handle on it
 * (operations on them fail with the device-gone code) and ends a data phase; the partitions survive.
 * Returns 0, or -1 for an unknown label. Doing what is already done is no error. */
TARNEX_SIM_API int tarnex_sim_plug(const char *label);
TARNEX_SIM_API int tarnex_sim_unplug(const char *label);

/* 1 when the phone is on the bus, 0 when not, -1 for an unknown label. */
TARNEX_SIM_API int tarnex_sim_is_plugged(const char *label);

TARNEX_SIM_API void tarnex_sim_handle_stats(TarnexSimHandleStats *stats);

/* Copies the transcript into `buffer` (truncated to `size`, terminated when size > 0) and returns its
 * full length in bytes, without terminator: call with size 0 to learn how much room it needs. */
TARNEX_SIM_API size_t tarnex_sim_transcript(char *buffer, size_t size);

/* Forgets the transcript lines kept in memory (a transcript file is not touched). */
TARNEX_SIM_API void tarnex_sim_clear_transcript(void);

/* The content of a partition: copies up to `size` bytes into `buffer` and returns the partition's length
 * (0 when never flashed, or erased). -1: unknown label; -2: unknown partition; -3: the phone's data mode
 * keeps no bytes (the transcript has the size and checksum). */
TARNEX_SIM_API int64_t tarnex_sim_partition(const char *label, const char *partition, void *buffer,
                                            uint64_t size);

/* Writes every flashed or erased partition of every phone as DIR/LABEL/PARTITION.img, now. Returns 0, or
 * -1 when a file could not be written. (With "partition-dir" in the scenario this happens by itself
 * after every flash and erase.) */
TARNEX_SIM_API int tarnex_sim_write_partitions(const char *dir);

typedef int (*TarnexSimConfigureFn)(const char *text, char *error, size_t error_size);
typedef int (*TarnexSimConfigureFileFn)(const char *path, char *error, size_t error_size);
typedef void (*TarnexSimResetFn)(void);
typedef int (*TarnexSimLabelFn)(const char *label); /* plug, unplug, is_plugged */
typedef void (*TarnexSimHandleStatsFn)(TarnexSimHandleStats *stats);
typedef size_t (*TarnexSimTranscriptFn)(char *buffer, size_t size);
typedef void (*TarnexSimClearTranscriptFn)(void);
typedef int64_t (*TarnexSimPartitionFn)(const char *label, const char *partition, void *buffer,
                                        uint64_t size);
typedef int (*TarnexSimWritePartitionsFn)(const char *dir);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TARNEX_SIM_CONTROL_H */
