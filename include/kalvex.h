/* kalvex.h: the C interface to kalvex stores (.klvx files).
 *
 * A store maps keys (byte strings of at most 65535 bytes; text keys are their UTF-8
 * bytes) to payloads (byte strings). A writer collects objects and keys (in memory, or
 * with a memory budget its values in a temporary file as they are added; see
 * kalvex_writer_options) and writes the file atomically; a reader maps a file read-only and answers from the
 * mapping. Keys are ordered bytewise; "position" means a place in that order, counted
 * from 0 to kalvex_reader_entry_count() - 1 (a key added twice to a writer appears once;
 * a file made elsewhere may repeat a key, and then holds one entry per occurrence).
 *
 * Errors. Every call that can fail returns a kalvex_status and, unless `err` is NULL,
 * describes the failure in *err:
 *   KALVEX_STORE_ERROR  err->kind is one of the four kinds below; err->message is the
 *                       rendered text, e.g. "KalvCorruptError: ...", the same text the
 *                       Python package raises; err->detail_offset says where the part
 *                       after the kind's name begins. An I/O error also carries the
 *                       errno and the path (see kalvex_error).
 *   KALVEX_NO_MEMORY    an allocation failed; the handle is as it was before the call.
 *   KALVEX_INTERNAL     a broken invariant of the library itself (a bug); message says
 *                       what. The handle may still be closed or freed.
 * A kalvex_error starts as KALVEX_ERROR_INIT (or all zero bytes). A failing call frees
 * and replaces what it holds; a successful call leaves it alone. kalvex_error_clear()
 * releases it. One record must not be used by two threads at once.
 * No C++ exception ever leaves this library.
 *
 * Threads. A reader is immutable after open: any number of threads may call it at once,
 * but none may still be inside a call when it is closed. A writer is not thread-safe:
 * callers serialise every call on one writer.
 *
 * Lifetimes. Handles are owned by the caller from the call that creates them until
 * kalvex_reader_close() / kalvex_writer_free(). Pointers into a store (payloads, keys,
 * the path) point into the reader's memory mapping or state and stay valid until the
 * reader is closed; copy what you keep longer. Buffers passed in are only read (or
 * filled) during the call; the library keeps no pointer to them.
 *
 * Plain C99; the library is self-contained and never touches Python.
 */
#ifndef KALVEX_H_
#define KALVEX_H_

#include <stddef.h>
#include <stdint.h>

#if defined(KALVEX_SHARED_BUILD)
#define KALVEX_API __attribute__((visibility("default")))
#else
#define KALVEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The declarations from here to the closing marker are also read by the generator of the
 * Python binding (tools/cffi_source.py): plain declarations only, `KALVEX_API` the sole
 * macro, `#define` lines with plain integers. */
/* -- declarations begin -- */

typedef enum kalvex_status {
  KALVEX_OK = 0,
  KALVEX_STORE_ERROR = 1,
  KALVEX_NO_MEMORY = 2,
  KALVEX_INTERNAL = 3
} kalvex_status;

/* The kind of a KALVEX_STORE_ERROR; its message begins with the name in brackets. */
typedef enum kalvex_error_kind {
  KALVEX_KIND_CORRUPT = 0, /* [KalvCorruptError] damaged file or failed integrity check */
  KALVEX_KIND_VERSION = 1, /* [KalvVersionError] a format version this library cannot read */
  KALVEX_KIND_IO = 2,      /* [KalvIOError] an operating-system call failed */
  KALVEX_KIND_ERROR = 3    /* [KalvError] the request breaks a rule of the store */
} kalvex_error_kind;

typedef struct kalvex_error {
  int kind;       /* a kalvex_error_kind when the status was KALVEX_STORE_ERROR, else -1 */
  char* message;  /* UTF-8, NUL-terminated, owned by *this; NULL if it could not be made */
  size_t message_size; /* bytes before the terminating NUL (the text may hold a NUL) */
  /* KalvIOError only, else 0 / NULL: the errno of the system call that failed (0 when the
   * store itself refused a path, e.g. a device where a file must be), and the path of
   * the file involved (owned by *this, NUL-terminated, path_size bytes before the NUL;
   * NULL when no file is involved or it could not be copied). */
  int os_errno;
  char* path;
  size_t path_size;
  /* KALVEX_STORE_ERROR only, else 0: message + detail_offset is the message without the
   * kind's name and ": " (e.g. "unsupported version 3"), for callers whose exception
   * class already names the kind. */
  size_t detail_offset;
} kalvex_error;

/* Frees what *err holds and resets it to KALVEX_ERROR_INIT. NULL is accepted. */
KALVEX_API void kalvex_error_clear(kalvex_error* err);

/* A byte string inside a reader: valid until that reader is closed. */
typedef struct kalvex_bytes {
  const uint8_t* data;
  size_t size;
} kalvex_bytes;

/* ---- Reader ----------------------------------------------------------------------- */

typedef struct kalvex_reader kalvex_reader;

/* Opens the file at `path` (path_size bytes of UTF-8, not NUL-terminated; a zero byte
 * in it fails with KalvIOError). With `verify` nonzero the whole-file checksum is
 * checked first. The index section must end exactly at the end of the file, else
 * KalvCorruptError (the header has no checksum of its own). On success *out owns a new
 * reader; on failure *out is NULL. The file descriptor is closed before returning: only
 * the mapping is kept.
 * A header feature bit this library does not know fails with KalvVersionError naming it.
 * A file whose header declares a mapped index is read through it: the open reads the
 * header, the index's trailer, its last few entries and one probe of its table for the
 * last key, in constant time, and the reader holds no memory per key
 * (kalvex_stats.mapped_index is then 1). A declared index that
 * is missing, disagrees with the header or the file, or whose tables cannot lie where
 * it says fails with KalvCorruptError. Other files are read as before: the index section
 * is parsed into memory. Damage met later in a mapped index is a KalvCorruptError of the
 * call that meets it, never a miss or a short answer, except where no check can see it
 * (a slot or key changed into another well-formed one); kalvex_reader_check_index
 * catches that. */
KALVEX_API kalvex_status kalvex_reader_open(const char* path, size_t path_size, int verify,
                                            kalvex_reader** out, kalvex_error* err);

/* How kalvex_reader_open_with() opens a store. Fields are added at the end only; a
 * caller sets every field it knows (all zero is kalvex_reader_open with verify 0). */
typedef struct kalvex_open_options {
  int verify;        /* nonzero: check the whole-file CRC-32 first, as kalvex_reader_open */
  /* Nonzero: every payload handed out (find, find_many, entry, read_range, entries,
   * objects) has its record's CRC-32 checked first; a mismatch fails with KalvCorruptError.
   * Costs a CRC pass over each payload read, none over the rest of the file. */
  int check_records;
  /* Nonzero: parse the index section into memory and ignore the header's feature bits,
   * as a reader that knows nothing of them would: a carried mapped index is then left
   * alone (kalvex_stats.mapped_index is 0; lookups cost what they cost without one), and
   * a compressed store's values are handed out as stored, their tag byte first. */
  int parse_index;
} kalvex_open_options;

/* kalvex_reader_open with options; `options` NULL means all zero. */
KALVEX_API kalvex_status kalvex_reader_open_with(const char* path, size_t path_size,
                                                 const kalvex_open_options* options,
                                                 kalvex_reader** out, kalvex_error* err);

/* Unmaps the file and frees the reader. NULL is accepted. Every pointer obtained from
 * the reader becomes invalid. */
KALVEX_API void kalvex_reader_close(kalvex_reader* reader);

/* Header values as stored and the file size at open. */
typedef struct kalvex_stats {
  uint64_t file_size;
  uint64_t index_offset;
  uint64_t data_offset;
  uint32_t num_keys;
  uint32_t num_objects;
  uint32_t file_crc32;
  uint32_t version;
  /* Bytes of the mapped index's record, which num_objects counts as one object: 0 when
   * the file carries none. */
  uint64_t index_size;
  int mapped_index; /* 1 when lookups, listings and searches read the mapped index */
  uint32_t user_objects; /* num_objects without the mapped index's and dictionary's records */
  /* 1 when the store's values are compressed (see "Compressed values" below); then the
   * dictionary's length in bytes (0: values compressed without one), and the values'
   * lengths summed as given to the writer and as stored (each distinct value once). */
  int compressed;
  uint64_t dictionary_size;
  uint64_t original_bytes;
  uint64_t stored_bytes;
} kalvex_stats;

KALVEX_API void kalvex_reader_stats(const kalvex_reader* reader, kalvex_stats* out);

/* The path as given to open (not NUL-terminated). */
KALVEX_API kalvex_bytes kalvex_reader_path(const kalvex_reader* reader);

/* Bytes of native memory the reader holds besides the mapping. */
KALVEX_API size_t kalvex_reader_memory_usage(const kalvex_reader* reader);

/* Number of index entries: the positions are 0 .. count - 1. */
KALVEX_API size_t kalvex_reader_entry_count(const kalvex_reader* reader);

/* Looks `key` up. Found: *payload points at its payload (data never NULL, even for an
 * empty payload). Absent: KALVEX_OK with payload->data == NULL and payload->size 0.
 * A stored offset that leads outside the file fails with KalvCorruptError. */
KALVEX_API kalvex_status kalvex_reader_find(const kalvex_reader* reader, const void* key,
                                            size_t key_size, kalvex_bytes* payload,
                                            kalvex_error* err);

/* Looks up `count` keys at once: key i is keys[ends[i-1] .. ends[i]) (from 0 for i = 0).
 * payloads[i] is set as kalvex_reader_find sets its payload (data NULL when absent).
 * The keys go in groups whose memory accesses overlap, which is several times faster
 * than a loop of single lookups over a store larger than the caches. A damaged record
 * or index fails with KalvCorruptError; payloads is then unspecified. */
KALVEX_API kalvex_status kalvex_reader_find_many(const kalvex_reader* reader, size_t count,
                                                 const uint8_t* keys, const size_t* ends,
                                                 kalvex_bytes* payloads, kalvex_error* err);

/* Sets *found to 1 when `key` is present, else 0. Reads no payload; damage met in a
 * mapped index fails with KalvCorruptError, as kalvex_reader_find does. */
KALVEX_API kalvex_status kalvex_reader_exists(const kalvex_reader* reader, const void* key,
                                             size_t key_size, int* found, kalvex_error* err);

/* The key and the payload at `position` (either out pointer may be NULL). A position
 * at or past the entry count fails with KalvError. */
KALVEX_API kalvex_status kalvex_reader_entry(const kalvex_reader* reader, size_t position,
                                             kalvex_bytes* key, kalvex_bytes* payload,
                                             kalvex_error* err);

/* Positions [*first, *last) of the keys that begin with `prefix` (empty: every key).
 * A damaged or misplaced entry or rank sample met by the search of a mapped index fails
 * with KalvCorruptError; *first and *last are then 0. */
KALVEX_API kalvex_status kalvex_reader_prefix_range(const kalvex_reader* reader, const void* prefix,
                                                    size_t prefix_size, size_t* first, size_t* last,
                                                    kalvex_error* err);

/* Sets *position to the position of the first key not below `key` (key_size bytes, any
 * length) in key order, or to the entry count when every key is below it: the seek that
 * ranges, ranks and "the next key after" start from, with the position-range reads. It
 * takes O(log n) key comparisons. Where the search meets a damaged mapped index (a rank
 * sample that does not locate its entry, keys out of order, an entry outside the index
 * section) it fails with KalvCorruptError and *position is left as it was: never a wrong
 * position. A file that repeats a key holds one position per occurrence; the first is
 * the one found. */
KALVEX_API kalvex_status kalvex_reader_lower_bound(const kalvex_reader* reader, const void* key,
                                                   size_t key_size, size_t* position,
                                                   kalvex_error* err);

/* ---- Compressed values --------------------------------------------------------------
 * A store built with compression (kalvex_build_options.compression) stores each value as
 * a payload with a head: the value itself or a compressed form of it. kalvex_reader_read_range
 * copies the values, decoded. The views that kalvex_reader_find, _find_many, _entry,
 * _entries and kalvex_objects_items give are the payloads as stored: pass each to
 * kalvex_reader_value_size and kalvex_reader_decode for the value (for a store that is not
 * compressed they are the values, and these calls copy them). A stored payload that does
 * not decode fails with KalvCorruptError, never with a wrong value. */

/* Sets *size to the length of the value whose stored payload is `stored` (a view this
 * reader gave, as for kalvex_reader_decode). */
KALVEX_API kalvex_status kalvex_reader_value_size(const kalvex_reader* reader, kalvex_bytes stored,
                                                  size_t* size, kalvex_error* err);

/* Decodes the value whose stored payload is `stored` into out[0 .. size), `size` being
 * what kalvex_reader_value_size gave (else KalvError). `stored` must be a view this reader
 * gave, unchanged: for a compressed store the record's checksum, which lies before the
 * payload in the file, is checked first (KalvCorruptError), so that damage never decodes
 * to a wrong value. */
KALVEX_API kalvex_status kalvex_reader_decode(const kalvex_reader* reader, kalvex_bytes stored,
                                              uint8_t* out, size_t size, kalvex_error* err);

/* The compression dictionary the store carries (size 0 when none): what another build can
 * be given to share it (kalvex_build_options.dictionary). */
KALVEX_API kalvex_bytes kalvex_reader_dictionary(const kalvex_reader* reader);

/* What kalvex_reader_read_range() filled. */
typedef struct kalvex_chunk {
  size_t count;         /* entries copied, from `first` on */
  size_t keys_size;     /* bytes used in the key buffer */
  size_t payloads_size; /* bytes used in the payload buffer */
  int keys_ascii;       /* 1 when every copied key is 7-bit ASCII */
  size_t key_need;      /* count == 0 because the first entry did not fit: */
  size_t payload_need;  /*   the buffer sizes it needs */
} kalvex_chunk;

/* Copies whole entries from positions [first, last), in order, as many as fit: at most
 * `max_entries`, keys concatenated into `keys` (key_ends[i] = end of key i), payloads
 * into `payloads` (payload_ends[i] = end of payload i). Pass keys == NULL to skip keys
 * (key_ends unused) or payloads == NULL to skip payloads. Copies nothing, with
 * out->count 0, when the first entry does not fit; then key_need/payload_need say what
 * it needs. A damaged record fails with KalvCorruptError; out->count then holds the
 * entries before it, which were copied whole. `last` past the entry count is clamped.
 * The payloads copied are the values, decoded when the store is compressed (payload_need
 * is then a decoded length). */
KALVEX_API kalvex_status kalvex_reader_read_range(
    const kalvex_reader* reader, size_t first, size_t last, size_t max_entries, uint8_t* keys,
    size_t keys_capacity, size_t* key_ends, uint8_t* payloads, size_t payloads_capacity,
    size_t* payload_ends, kalvex_chunk* out, kalvex_error* err);

/* Deep check: whole-file checksum, then bounds and checksum of every referenced object,
 * then the object records: chained from the header exactly to the index section, as many
 * as the header's num_objects, every entry's offset the start of one of them; then a
 * mapped index: its CRCs, its samples, that no entry refers to it and that it finds
 * every key. KALVEX_OK when the file is sound. */
KALVEX_API kalvex_status kalvex_reader_verify(const kalvex_reader* reader, kalvex_error* err);

/* The check that makes a miss or a listing trustworthy, at a cost that grows with the
 * index, not the data: for a mapped index, the CRC-32 of its record and of the index
 * section (which its trailer holds); for a store without one, which has no CRC of the
 * index alone, the whole-file CRC-32. KALVEX_OK when they hold, else KalvCorruptError. */
KALVEX_API kalvex_status kalvex_reader_check_index(const kalvex_reader* reader, kalvex_error* err);

/* Views of the entries at positions [first, last), in order, at most max_entries: key i
 * in keys[i], payload i in payloads[i], and in offsets[i] the file offset of its object,
 * which is the object's identity (entries sharing an object share it). Any of the three
 * arrays may be NULL to skip it; only payloads read object records. *count is the
 * number of entries filled. A damaged record ends the run: the status is
 * KalvCorruptError and *count the entries before it, all filled. `last` past the entry
 * count is clamped. Views stay valid until the reader is closed; nothing is copied. */
KALVEX_API kalvex_status kalvex_reader_entries(const kalvex_reader* reader, size_t first,
                                               size_t last, size_t max_entries,
                                               kalvex_bytes* keys, kalvex_bytes* payloads,
                                               uint64_t* offsets, size_t* count,
                                               kalvex_error* err);

/* The payload of the object whose record lies at file offset `offset` (its identity, as
 * kalvex_reader_entries and kalvex_reader_objects give it). A record that does not lie
 * wholly inside the file fails with KalvCorruptError. */
KALVEX_API kalvex_status kalvex_reader_object(const kalvex_reader* reader, uint64_t offset,
                                              kalvex_bytes* payload, kalvex_error* err);

/* The entries at positions [first, last) in the order their objects lie in the file
 * (entries sharing an object in key order): for the k-th, places[k] is its position -
 * first and offsets[k] its object's offset. Copying payloads in this order reads the
 * file front to back, which a walk in key order over a store larger than the caches
 * does not. Both arrays hold last - first elements. *count is last - first when filled,
 * else 0: when key order already reads the file front to back, when the range holds
 * fewer than two entries, or when an entry or an offset is damaged (reading the range
 * in key order then reports it). Fails only with KALVEX_NO_MEMORY. REQUIRES: first <=
 * last <= kalvex_reader_entry_count(). */
KALVEX_API kalvex_status kalvex_reader_file_order(const kalvex_reader* reader, size_t first,
                                                  size_t last, size_t* places, uint64_t* offsets,
                                                  size_t* count, kalvex_error* err);

/* The distinct objects (by file offset) in first-use order in key order. */
typedef struct kalvex_objects kalvex_objects;

/* On success *out owns a list of the reader's distinct objects. The first damaged
 * record fails with KalvCorruptError. The list refers into the reader: free it first. */
KALVEX_API kalvex_status kalvex_reader_objects(const kalvex_reader* reader,
                                               kalvex_objects** out, kalvex_error* err);
KALVEX_API size_t kalvex_objects_count(const kalvex_objects* objects);
/* The payloads, an array of kalvex_objects_count() elements owned by the list. */
KALVEX_API const kalvex_bytes* kalvex_objects_items(const kalvex_objects* objects);
/* Their file offsets (as kalvex_reader_entries gives them), in the same order. */
KALVEX_API const uint64_t* kalvex_objects_offsets(const kalvex_objects* objects);
/* NULL is accepted. */
KALVEX_API void kalvex_objects_free(kalvex_objects* objects);

/* ---- Writer ----------------------------------------------------------------------- */

typedef struct kalvex_writer kalvex_writer;

/* On success *out owns a new, empty writer, which holds every value in memory until its
 * build (as kalvex_writer_new_with with NULL options). */
KALVEX_API kalvex_status kalvex_writer_new(kalvex_writer** out, kalvex_error* err);

/* What a writer is told when it is made (kalvex_writer_new_with). All zero is the writer
 * of kalvex_writer_new. */
typedef struct kalvex_writer_options {
  /* Where the writer will be built (path_size bytes of UTF-8), or NULL when not known.
   * Given, the writer writes each value to that build's temporary file (the one a build
   * of `path` writes; see kalvex_writer_build) as values are added, holding it as a build
   * holds it; a build to `path` then publishes that file. A temporary file that cannot be
   * taken (another live build holds it, the directory is missing) only makes the writer
   * fall back to an anonymous file: the build reports the failure as ever. */
  const char* path;
  size_t path_size;
  /* Bytes of values the writer may hold in memory before it moves them to a temporary
   * file (an anonymous one in $TMPDIR, or /tmp, when no path is given). 0: no bound, every
   * value stays in memory until the build, and `path` is only remembered. Values the file
   * cannot take (a full disk) stay in memory and go with later ones; a build that needs
   * them in the file reports the failure. A value that cannot be read back from the file
   * (to be compared with a new one, or compressed) makes every later build of the writer
   * fail with that KalvIOError: its store could differ from the one its adds describe. */
  uint64_t memory_limit;
} kalvex_writer_options;

/* On success *out owns a new, empty writer made with `options` (NULL: as
 * kalvex_writer_new). No file is touched here. */
KALVEX_API kalvex_status kalvex_writer_new_with(kalvex_writer** out, const kalvex_writer_options* options,
                                                kalvex_error* err);

/* Frees the writer, removing the temporary files it holds (a killed process leaves its
 * temporary file behind; the next build of the same path reuses it). NULL is accepted. */
KALVEX_API void kalvex_writer_free(kalvex_writer* writer);

/* Drops every object and key and removes the writer's temporary files, as freeing it
 * would; the writer stays usable, empty, with the options it was made with. A file that
 * is no longer the writer's own (someone replaced it) is left alone. Cannot fail. */
KALVEX_API void kalvex_writer_discard(kalvex_writer* writer);

KALVEX_API uint64_t kalvex_writer_num_objects(const kalvex_writer* writer);
/* The number of distinct keys mapped. Counting finishes work that adding keys defers,
 * which may allocate: it can fail with KALVEX_NO_MEMORY, the writer unchanged. A writer
 * with a memory budget may have moved keys to unnamed files (in the destination's
 * directory, else $TMPDIR or /tmp): one that cannot be read fails it with
 * KALVEX_STORE_ERROR, a KalvIOError naming that directory. */
KALVEX_API kalvex_status kalvex_writer_num_keys(const kalvex_writer* writer, uint64_t* count,
                                                kalvex_error* err);

/* Sets *found to 1 when `key` has been mapped by this writer, else 0. Fails when out of
 * memory (looking keys up finishes deferred work), or as kalvex_writer_num_keys does when
 * a file of moved keys cannot be read. */
KALVEX_API kalvex_status kalvex_writer_contains_key(const kalvex_writer* writer, const void* key,
                                                   size_t key_size, int* found,
                                                   kalvex_error* err);

/* Copies the payload and sets *id to its object id (ids count from 0 without gaps).
 * Size limits are checked by the build. A writer made with a memory budget writes values
 * to its temporary file as they come; the file failing fails no add: values it cannot
 * take wait in memory, and a build reports the failure (see kalvex_writer_options). */
KALVEX_API kalvex_status kalvex_writer_add_object(kalvex_writer* writer, const void* payload,
                                                  size_t payload_size, uint64_t* id,
                                                  kalvex_error* err);

/* Like kalvex_writer_add_object, but when an object added through this call before holds
 * a byte-for-byte equal payload, sets *id to that object's id and stores nothing: each
 * distinct payload is stored once. Objects added by the other calls are never matched. */
KALVEX_API kalvex_status kalvex_writer_add_object_unique(kalvex_writer* writer,
                                                         const void* payload,
                                                         size_t payload_size, uint64_t* id,
                                                         kalvex_error* err);

/* The longest key a store holds, in bytes (the format gives a key's length 16 bits). */
#define KALVEX_MAX_KEY_SIZE 65535

/* Maps `key` to object `id`, replacing an earlier mapping of the same key. Fails with
 * KalvError when id is not an existing object (checked first) or the key is longer than
 * KALVEX_MAX_KEY_SIZE bytes; then nothing changes. */
KALVEX_API kalvex_status kalvex_writer_add_key(kalvex_writer* writer, const void* key,
                                               size_t key_size, uint64_t id, kalvex_error* err);

/* Adds `count` objects at once: payload i is payloads[ends[i-1] .. ends[i]) (from 0 for
 * i = 0). *first_id is the id of the first; the others follow it. On KALVEX_NO_MEMORY
 * the objects added before the failure stay: *added says how many (also set on success). */
KALVEX_API kalvex_status kalvex_writer_add_objects(kalvex_writer* writer, size_t count,
                                                   const uint8_t* payloads, const size_t* ends,
                                                   uint64_t* first_id, size_t* added,
                                                   kalvex_error* err);

/* Maps `count` keys at once: key i is keys[ends[i-1] .. ends[i]), mapped to ids[i].
 * Every key is checked before any is added: on KALVEX_STORE_ERROR nothing changed and
 * *added is the position of the first rejected key, whose error is the one reported.
 * On KALVEX_NO_MEMORY the keys before *added stay mapped. */
KALVEX_API kalvex_status kalvex_writer_add_keys(kalvex_writer* writer, size_t count,
                                                const uint8_t* keys, const size_t* ends,
                                                const uint64_t* ids, size_t* added,
                                                kalvex_error* err);

/* One object and its keys in one call, the shape of a bulk load: stores the payload as
 * kalvex_writer_add_object does (with `unique` nonzero, as kalvex_writer_add_object_unique
 * does), sets *id to its id and maps `count` keys to it (key i is keys[ends[i-1] ..
 * ends[i]), as for kalvex_writer_add_keys). Every key is checked before anything is
 * stored: on KALVEX_STORE_ERROR for a key over KALVEX_MAX_KEY_SIZE (the first one's error)
 * nothing changed. A failure after the check (KALVEX_NO_MEMORY, or keys beyond what the
 * format counts) leaves the object and the keys mapped before it. */
KALVEX_API kalvex_status kalvex_writer_add_mapped(kalvex_writer* writer, const void* payload,
                                                  size_t payload_size, int unique, size_t count,
                                                  const uint8_t* keys, const size_t* ends,
                                                  uint64_t* id, kalvex_error* err);

/* Adds `count` objects with one key each, the shape of a build from (key, value) pairs:
 * for each i in order, stores payload i (payloads[payload_ends[i-1] .. payload_ends[i]),
 * from 0 for i = 0) as kalvex_writer_add_mapped does with `unique`, and maps key i
 * (keys[key_ends[i-1] .. key_ends[i])) to it, so a key given twice ends mapped to its
 * later payload. Every key is checked before anything is stored: on KALVEX_STORE_ERROR
 * for a key over KALVEX_MAX_KEY_SIZE nothing changed and *added is that key's position.
 * A batch that could take the keys past what the format counts (were every key new) is
 * refused with KALVEX_STORE_ERROR and nothing changed: add its pairs one at a time. On
 * KALVEX_NO_MEMORY the pairs before *added stay. *added is set on success too. */
KALVEX_API kalvex_status kalvex_writer_add_pairs(kalvex_writer* writer, int unique, size_t count,
                                                 const uint8_t* payloads, const size_t* payload_ends,
                                                 const uint8_t* keys, const size_t* key_ends,
                                                 size_t* added, kalvex_error* err);

/* Counts written by a build. */
typedef struct kalvex_build_report {
  uint64_t num_objects;
  uint64_t num_keys;
  uint64_t file_size;
  uint64_t index_size; /* bytes of the mapped index's record; 0 when none was written */
} kalvex_build_report;

/* What kalvex_writer_build_with() does besides writing the store. */
typedef struct kalvex_build_options {
  int print_summary; /* nonzero: print the summary line, as kalvex_writer_build does */
  /* Nonzero: append a mapped index as the last object of the data section, and declare
   * it in the header's features byte, so that readers open the store in constant time
   * (see kalvex_reader_open). The file stays a valid store for every reader; num_objects
   * counts the index as one more object, and the file grows by about 10.5 bytes per key.
   * A store past about 400 million keys is written without one (report->index_size 0).
   * Either way the file's bytes are a function of the adds alone: the index's hash seed
   * is derived from the index section. */
  int mapped_index;
  /* Nonzero: leave out every object that no key maps to (an object whose keys were all
   * mapped again to other objects, or that was never mapped), so that replaced values
   * never reach the file. The objects written keep their order; report->num_objects
   * counts them. Zero writes every object added, as kalvex_writer_build does. */
  int drop_unreferenced;
  /* Nonzero: compress the values with libzstd at `compression_level` (1 .. 22; 0 means 3;
   * negative levels are faster), each value kept as it is where compressing does not
   * shrink it, with a dictionary: `dictionary` (dictionary_size bytes, e.g. from
   * kalvex_writer_train_dictionary or kalvex_reader_dictionary, so that several stores
   * share one) or, when NULL, one trained from the writer's values. The header marks the
   * store; readers decode its values (see "Compressed values"). Zero: the store is written
   * exactly as without these fields. */
  int compression;
  int compression_level;
  const uint8_t* dictionary;
  size_t dictionary_size;
} kalvex_build_options;

/* Writes the store to `path` (path_size bytes of UTF-8) atomically: a temporary file
 * beside it, held by this build alone (another live build of it fails at once), fsync,
 * rename, fsync of the directory. A destination that another live build holds as its
 * temporary file is refused; a whole store found at the temporary path is kept, and the
 * build refused, unless a build that died left it there; a build that finds, before or
 * after its rename, that another file took its file's place fails instead of reporting
 * success. Every limit is checked before the file system is
 * touched; a failed build leaves any existing file as it was, and a destination that is
 * a device, FIFO or socket is refused. The writer is only read: it may be built again
 * and grown in between. With `print_summary` nonzero, a success writes
 * "✅  {path}  —  {n} objects · {n} keys · {kb} KB" and a newline to file descriptor 1;
 * a line that cannot be written is dropped (the build has succeeded). `report` may be
 * NULL. */
KALVEX_API kalvex_status kalvex_writer_build(const kalvex_writer* writer, const char* path,
                                             size_t path_size, int print_summary,
                                             kalvex_build_report* report, kalvex_error* err);

/* kalvex_writer_build with options; `options` NULL means all zero (as kalvex_writer_build
 * with print_summary 0): no summary, no mapped index. */
KALVEX_API kalvex_status kalvex_writer_build_with(const kalvex_writer* writer, const char* path,
                                                  size_t path_size,
                                                  const kalvex_build_options* options,
                                                  kalvex_build_report* report,
                                                  kalvex_error* err);

/* The largest dictionary kalvex_writer_train_dictionary makes, in bytes. */
#define KALVEX_MAX_DICTIONARY_SIZE 114688

/* Trains the dictionary a compressed build of this writer would train from its values,
 * into dictionary[0 .. capacity), and sets *size to its length (0 when the values are too
 * few to learn from). `capacity` must be at least KALVEX_MAX_DICTIONARY_SIZE. */
KALVEX_API kalvex_status kalvex_writer_train_dictionary(const kalvex_writer* writer, uint8_t* dictionary,
                                                        size_t capacity, size_t* size, kalvex_error* err);

/* ---- Routing ---------------------------------------------------------------------- */

/* The bucket, from 0 to buckets - 1, of a 64-bit digest among `buckets`: the jump
 * consistent hash (the multiply wraps at 2^64, the division is done in doubles), the
 * rule that puts a key in its shard of a sharded store, fixed for good. Growing buckets
 * by one moves about 1 / buckets of the digests, all into the new bucket.
 * REQUIRES: 1 <= buckets < 2^31. */
KALVEX_API uint32_t kalvex_jump_hash(uint64_t digest, uint32_t buckets);

/* -- declarations end -- */

#define KALVEX_ERROR_INIT {-1, NULL, 0, 0, NULL, 0, 0}

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* KALVEX_H_ */
