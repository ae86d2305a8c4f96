// A growable byte buffer. Bytes are appended at the tail and consumed from
// the head or the tail. The storage always keeps one spare byte past the
// capacity, so the contents can be terminated with a NUL and read as text.
//
// Ownership: the caller owns the record, the buffer owns `base`. Any call
// that can grow or free the storage (buf_push, buf_realloc, buf_reset,
// buf_destroy) may move it, so a pointer from buf_get_head or buf_get_tail
// is good only until the next such call.
#ifndef QUORVEL_BUF_H
#define QUORVEL_BUF_H

// Capacity of fresh storage, and of the storage buf_reset goes back to.
#define BUF_DEFAULT_SIZE 1024

// The largest capacity: the storage, one byte more, stays within the int range.
#define BUF_MAX_SIZE 0x7ffffffe

typedef struct buf_t {
    char *base; // storage of size + 1 bytes, or null when there is none
    int head;   // index of the first byte not yet consumed
    int tail;   // index one past the last stored byte
    int size;   // capacity; 0 <= head <= tail <= size
} buf_t;

// Allocates BUF_DEFAULT_SIZE. Returns 0, or -1 with every field zero when
// no storage could be had (a later buf_push still allocates afresh). Does
// not free storage the record may still hold.
int buf_init(buf_t *pb);

// Frees the storage and zeroes the fields. Safe to repeat. Returns 0.
int buf_destroy(buf_t *pb);

// buf_destroy then buf_init: an empty buffer back at BUF_DEFAULT_SIZE.
// Returns 0 (the storage may be missing if the allocation failed).
int buf_reset(buf_t *pb);

// Empties the buffer, keeping its storage and capacity. Returns 0.
int buf_clean(buf_t *pb);

// Appends size bytes from src, growing the storage to exactly the room
// needed. Returns size; 0 when size <= 0, or when growth failed, in which
// case the buffer is left exactly as it was.
[[nodiscard]] int buf_push(buf_t *pb, const void *src, int size);

// Removes size bytes from the tail end (the newest), copying them to dst
// unless dst is null. Returns size; 0 when size <= 0; -1 (nothing changed)
// when fewer than size bytes are stored.
int buf_pop(buf_t *pb, void *dst, int size);

// Removes size bytes from the head end (the oldest), copying them to dst
// unless dst is null. Returns size; 0 when size <= 0; -1 (nothing changed)
// when fewer than size bytes are stored. Consumed room is not reclaimed.
int buf_shift(buf_t *pb, void *dst, int size);

// Copies len stored bytes, starting start bytes after the head, into dst
// without consuming them. Returns len; 0 when len <= 0; -1 (nothing
// copied) unless 0 <= start and start + len <= buf_get_length.
int buf_read(buf_t *pb, int start, int len, void *dst);

// Sets the capacity to new_size (storage new_size + 1). Returns the new
// storage; null, with nothing changed, when there is no storage, when
// new_size is below tail, or when the allocation fails.
char *buf_realloc(buf_t *pb, int new_size);

// Writes a NUL just past the last stored byte. Does nothing without storage.
void buf_to_str(buf_t *pb);

// The first stored byte; null when there is no storage.
char *buf_get_head(buf_t *pb);

// The last stored byte (not one past it); null when no byte is stored.
char *buf_get_tail(buf_t *pb);

// Room after the tail (consumed room before the head does not count).
int buf_get_free(buf_t *pb);

// Number of stored bytes.
int buf_get_length(buf_t *pb);

// Capacity.
int buf_get_size(buf_t *pb);

#endif
