// Worker threads for the v3 chunk store.
//
// Chunks are independent units for LZ4, the cipher and HMAC-SHA256, so a
// store with a pool transforms batches of whole chunks on every core while
// the calling thread keeps doing all file I/O, all allocation and every
// metadata change in the same order as without a pool: the bytes written,
// the commit order and the crash guarantees are exactly those of the
// single-thread path. (With write-behind, a store without flushes hands the
// writes of each commit, in order, to one writing thread of the pool.)
//
// What runs in parallel:
//  - writes: the whole chunks of one v3_write call are checked for zeros,
//    compressed and encrypted ahead of their sequential placement (nonces are
//    still drawn in chunk order); their tags, which cover the place a chunk
//    was given, are computed for the whole transaction just before it commits;
//  - reads: a run of whole chunks of one v3_read call is read with as few
//    system calls as possible, then authenticated, decrypted and
//    decompressed in parallel.
//
// Memory per pool: for each worker a copy of the data cipher and of the HMAC
// context, one chunk of locked scratch and an LZ4 state; one locked read
// staging area of kV3PoolWindowBytes plus 512 bytes per chunk of a window. A
// write call holds at most kV3PoolWindowBytes of prepared ciphertext at once;
// with write-behind, at most two commits wait for the file (each at most 32
// chunks of ciphertext, their metadata nodes and one header copy).
#pragma once

#include "container/cipher/cipher.h"
#include "container/v3/v3_store.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace tw {

// Plaintext bytes of one batch of chunks (reads and prepared writes).
inline constexpr size_t kV3PoolWindowBytes = 512 * 1024;
// Chunks of one batch at most (4096-byte chunks fill a window with 128).
inline constexpr size_t kV3PoolWindowChunks = 128;
// Transforming threads at most, the calling thread included.
inline constexpr unsigned kV3PoolMaxThreads = 16;

// The number of online CPUs (at least 1).
unsigned v3_pool_online_cpus();

// Gives the unlocked store a pool of `threads` transforming threads, the
// calling thread included (0: one per online CPU, at most
// kV3PoolMaxThreads). With fewer than two nothing is started and the store
// keeps working on the calling thread alone. `data_cipher` is the context the
// store's cipher callback uses for data units (every sector number but 0);
// each worker gets its own copy of it, so it may be released after this
// call. A pool already running is stopped first. -EACCES for a locked store,
// -EINVAL for a null argument, -ENOMEM, -EIO (cipher or HMAC copy), or the
// error of the thread start; on failure the store has no pool.
int v3_pool_start(V3Store *store, const CipherContext *data_cipher, unsigned threads);

// Stops and wipes the pool (v3_close does this too). Null or a store without
// pool is accepted.
void v3_pool_stop(V3Store *store);

// Hands the file writes of every later commit to a thread of the pool that
// puts them in the file in commit order, the same bytes with the same system
// calls, while the calling thread builds the next transaction. Only for a
// store whose flushes are off (v3_set_no_flush: a new file that no one opens
// before it is complete and flushed as a whole), where a commit orders
// nothing on the disk by itself. At most two commits are pending at once; a write error fails the
// next commit and sticks. Every read of the file waits for the pending writes first. -EINVAL
// without a pool or with flushes on, or the error of the thread start.
int v3_pool_write_behind(V3Store *store);

// Waits until every handed-over write is in the file and stops the writing
// thread. Returns the first write error (also kept as the store's sticky
// error), 0 when all went well or write-behind was not on. Stopping the pool
// waits for the pending writes too, but reports nothing.
int v3_pool_write_behind_end(V3Store *store);

// The transforming threads of the store's pool, 1 without a pool.
unsigned v3_pool_threads(const V3Store *store);

namespace v3 {

// A whole chunk of a write, compressed and encrypted ahead of its placement.
struct PreparedChunk {
    uint64_t chunk;
    bool zero;                   // the new plaintext is entirely zero: nothing was built
    uint32_t length;             // nonce prefix + payload
    uint32_t info;               // 1 when the payload is compressed
    std::vector<uint8_t> stored; // ciphertext padded to 512 (empty for zero)
};

// Builds the whole chunks at the start of the write (`data`, `length`, at
// virtual `offset`) in parallel: consecutive whole chunks other than the
// sector-0 block, at most one window. `out` is replaced; it comes back empty
// when the first piece is not such a chunk.
int pool_prepare(V3Store *s, const uint8_t *data, size_t length, uint64_t offset,
                 std::vector<PreparedChunk> *out);

// Computes the tags the open transaction still owes (in parallel with a
// pool, else on this thread) and installs them in the chunk references and
// their leaf entries. Commit calls it first.
int settle_tags(V3Store *s);

// Reads a run of whole chunks starting at `offset` in parallel. Returns the
// bytes done, 0 when the piece at `offset` should go the ordinary way (no
// pool, not at least two whole chunks on disk, a chunk of the open
// transaction), or a negative error.
ssize_t pool_read(V3Store *s, uint8_t *buffer, size_t length, uint64_t offset);

} // namespace v3
} // namespace tw
