// The chunk pool: worker threads that compress, encrypt and authenticate
// (or authenticate, decrypt and decompress) batches of whole chunks for one
// store. The calling thread takes part in every batch and alone touches the
// allocation bitmap, the chunk map and the transaction, and the file too
// unless a writing thread puts the commits into it (write-behind).
#include "container/v3/v3_pool.h"

#include "container/keys/keys.h"
#include "container/v3/v3_internal.h"
#include "platform/secure_memory.h"
#include "runtime/random.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <lz4.h>
#include <memory>
#include <mutex>
#include <new>
#include <openssl/evp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tw::v3 {

// What one transforming thread owns: its own keyed contexts (OpenSSL contexts
// are not shared between threads) and locked scratch for compressed bytes.
struct Worker {
    CipherContext *cipher = nullptr;
    EVP_MAC_CTX *mac = nullptr;
    uint8_t *scratch = nullptr;
    size_t scratch_size = 0;
    uint8_t *lz4 = nullptr;
    size_t lz4_size = 0;
};

using ItemFn = void (*)(Worker &worker, size_t index, void *arg);

// One batch: its items are claimed one at a time by whichever thread is free.
struct Batch {
    ItemFn fn;
    void *arg;
    size_t items;
    std::atomic<size_t> next{0};
    size_t done = 0;    // items finished (under the pool's mutex)
    unsigned users = 0; // helpers that joined the batch and have not left it
};

struct Pool {
    unsigned count = 0;                // transforming threads, the caller included
    Worker workers[kV3PoolMaxThreads]; // [0] belongs to the calling thread
    pthread_t threads[kV3PoolMaxThreads];
    unsigned started = 0; // helper threads running (workers 1..started)
    uint8_t *stage = nullptr;
    size_t stage_size = 0;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    bool stopping = false;
    Batch *batch = nullptr; // the batch in progress, or null
    uint64_t serial = 0;    // number of the batch in progress

    // Write-behind: the writing thread and the commits handed to it, under
    // their own lock so that a batch never waits for the file.
    int fd = -1;
    pthread_t writer{};
    bool writer_started = false;
    std::mutex io_mutex;
    std::condition_variable io_work; // a commit was handed over, or stop
    std::condition_variable io_done; // a commit is in the file
    std::deque<std::unique_ptr<CommitWrites>> queued;
    bool io_busy = false; // the writer holds a commit it took from `queued`
    bool io_stopping = false;
    int io_error = 0; // first failed write; later commits are dropped
    // Chunk buffers of written commits, for the store's thread to reuse.
    std::vector<std::vector<uint8_t>> returned;
};

// Commits pending at once, the one being written included.
constexpr size_t kWriteBehindDepth = 2;

namespace {

struct HelperStart {
    Pool *pool;
    unsigned index;
};

size_t take_items(Batch *b, Worker &w) {
    size_t taken = 0;
    for (size_t i; (i = b->next.fetch_add(1, std::memory_order_relaxed)) < b->items; ++taken)
        b->fn(w, i, b->arg);
    return taken;
}

void *helper_main(void *raw) {
    const HelperStart start = *static_cast<HelperStart *>(raw);
    delete static_cast<HelperStart *>(raw);
    Pool *p = start.pool;
    Worker &w = p->workers[start.index];
    uint64_t seen = 0;
    std::unique_lock lock(p->mutex);
    for (;;) {
        p->wake.wait(lock, [&] { return p->stopping || (p->batch && p->serial != seen); });
        if (p->stopping)
            break;
        Batch *b = p->batch;
        seen = p->serial;
        ++b->users;
        lock.unlock();
        const size_t taken = take_items(b, w);
        lock.lock();
        b->done += taken;
        --b->users;
        p->idle.notify_all();
    }
    return nullptr;
}

// Runs fn(worker, i, arg) for i in [0, items) on the calling thread and on
// every helper that is free, and returns when all are done. A helper that
// wakes only after the caller took the last item is not waited for: on a busy
// machine the batch never stalls on a thread the scheduler has not run yet.
// Only the store's own thread calls this.
void pool_run(Pool *p, size_t items, ItemFn fn, void *arg) {
    if (items == 0)
        return;
    if (items == 1 || p->started == 0) {
        for (size_t i = 0; i < items; ++i)
            fn(p->workers[0], i, arg);
        return;
    }
    Batch b{fn, arg, items};
    {
        std::lock_guard lock(p->mutex);
        p->batch = &b;
        ++p->serial;
    }
    p->wake.notify_all();
    const size_t taken = take_items(&b, p->workers[0]);
    std::unique_lock lock(p->mutex);
    b.done += taken;
    p->idle.wait(lock, [&] { return b.done == b.items && b.users == 0; });
    p->batch = nullptr;
}

void worker_release(Worker &w) {
    cipher_context_destroy(w.cipher);
    if (w.mac)
        EVP_MAC_CTX_free(w.mac);
    secure_free(w.scratch, w.scratch_size);
    secure_free(w.lz4, w.lz4_size);
    w = Worker{};
}

int worker_prepare(Worker &w, const V3Store *s, const CipherContext *data_cipher) {
    w.cipher = cipher_context_create();
    if (!w.cipher)
        return -ENOMEM;
    if (int rc = cipher_clone(data_cipher, w.cipher))
        return rc;
    w.mac = EVP_MAC_CTX_dup(s->mac);
    if (!w.mac)
        return -EIO;
    w.scratch_size = s->chunk_size + 1024;
    w.scratch = static_cast<uint8_t *>(secure_alloc(w.scratch_size));
    w.lz4_size = size_t(LZ4_sizeofState());
    w.lz4 = static_cast<uint8_t *>(secure_alloc(w.lz4_size));
    return w.scratch && w.lz4 ? 0 : -ENOMEM;
}

void *writer_main(void *raw) {
    Pool *p = static_cast<Pool *>(raw);
    std::unique_lock lock(p->io_mutex);
    for (;;) {
        p->io_work.wait(lock, [&] { return p->io_stopping || !p->queued.empty(); });
        if (p->queued.empty())
            break;
        std::unique_ptr<CommitWrites> w = std::move(p->queued.front());
        p->queued.pop_front();
        p->io_busy = true;
        const bool skip = p->io_error != 0;
        lock.unlock();
        const int rc = skip ? 0 : commit_writes_apply(p->fd, *w);
        lock.lock();
        if (rc && p->io_error == 0)
            p->io_error = rc;
        for (std::vector<uint8_t> &b : w->chunks)
            if (p->returned.size() < kMaxChunkWrites)
                p->returned.push_back(std::move(b));
        p->io_busy = false;
        p->io_done.notify_all();
    }
    return nullptr;
}

// Waits for the handed-over commits; the first write error, if any.
int writer_wait(Pool *p) {
    std::unique_lock lock(p->io_mutex);
    p->io_done.wait(lock, [&] { return p->queued.empty() && !p->io_busy; });
    return p->io_error;
}

void writer_stop(Pool *p) {
    if (!p->writer_started)
        return;
    {
        std::lock_guard lock(p->io_mutex);
        p->io_stopping = true;
    }
    p->io_work.notify_all();
    pthread_join(p->writer, nullptr);
    p->writer_started = false;
    p->io_stopping = false;
}

void pool_destroy(Pool *p) {
    // Commits already handed over still reach the file, in order.
    writer_stop(p);
    {
        std::lock_guard lock(p->mutex);
        p->stopping = true;
    }
    p->wake.notify_all();
    for (unsigned i = 0; i < p->started; ++i)
        pthread_join(p->threads[i], nullptr);
    for (Worker &w : p->workers)
        worker_release(w);
    secure_free(p->stage, p->stage_size);
    delete p;
}

// --- Writes ---

struct PrepareJob {
    const V3Store *s;
    const uint8_t *data;  // plaintext of the first chunk of the window
    uint64_t first_start; // virtual offset of `data`
    std::vector<PreparedChunk> *chunks;
    const uint8_t *nonces; // 24 bytes per chunk that is not zero, in order
    const size_t *nonce_index;
    int *results;
};

uint64_t chunk_start(const V3Store *s, uint64_t chunk) {
    return chunk == 0 ? 512 : chunk * s->chunk_size;
}

void prepare_item(Worker &w, size_t i, void *raw) {
    auto *job = static_cast<PrepareJob *>(raw);
    const V3Store *s = job->s;
    PreparedChunk &pc = (*job->chunks)[i];
    if (pc.zero) {
        job->results[i] = 0;
        return;
    }
    const uint64_t plain = chunk_plain_length(s, pc.chunk);
    const uint8_t *src = job->data + (chunk_start(s, pc.chunk) - job->first_start);
    const uint32_t prefix = s->prefix;
    uint64_t payload = plain;
    pc.info = 0;
    if (s->compression) {
        int packed = LZ4_compress_fast_extState(w.lz4, reinterpret_cast<const char *>(src),
                                                reinterpret_cast<char *>(w.scratch), int(plain),
                                                int(plain), 1);
        // Compression pays only when it saves at least one sector.
        if (packed > 0 && round_up_512(uint64_t(packed)) < plain) {
            payload = uint64_t(packed);
            pc.info = 1;
        }
    }
    pc.length = uint32_t(prefix + payload);
    const uint64_t size = round_up_512(pc.length);
    pc.stored.resize(size);
    uint8_t *out = pc.stored.data();
    const uint8_t *nonce = nullptr;
    if (prefix) {
        std::memset(out, 0, prefix);
        std::memcpy(out, job->nonces + kXChaCha20NonceSize * job->nonce_index[i],
                    kXChaCha20NonceSize);
        nonce = out;
    }
    const uint8_t *in = src;
    if (pc.info == 1) {
        std::memset(w.scratch + payload, 0, size - prefix - payload);
        in = w.scratch;
    }
    // Straight from the caller's plaintext (or the locked scratch) into the
    // buffer that will be written: only ciphertext ever reaches it.
    int rc = cipher_sectors(w.cipher, chunk_first_sector(s, pc.chunk), (size - prefix) / 512, in,
                            out + prefix, kEncrypt, nonce);
    if (pc.info == 1)
        secure_wipe(w.scratch, size - prefix);
    job->results[i] = rc;
}

// --- Tags ---

struct TagJob {
    const V3Store *s;
    std::vector<NewChunk *> owed;
    int *results;
};

void tag_item(Worker &w, size_t i, void *raw) {
    auto *job = static_cast<TagJob *>(raw);
    NewChunk &c = *job->owed[i];
    job->results[i] = block_tag_with(w.mac, job->s, kTypeChunk, 0, c.chunk, c.ref, c.stored.data(),
                                     c.stored.size(), nullptr, 0, c.ref.tag);
}

// --- Reads ---

struct ReadItem {
    uint64_t chunk;
    BlockRef ref;
    uint8_t *out;   // the chunk's plaintext in the caller's buffer
    uint8_t *stage; // stored bytes (compressed), or the nonce prefix, or null
    uint32_t plain;
    int rc;
};

struct ReadJob {
    const V3Store *s;
    ReadItem *items;
};

void read_item(Worker &w, size_t i, void *raw) {
    auto *job = static_cast<ReadJob *>(raw);
    const V3Store *s = job->s;
    ReadItem &it = job->items[i];
    const uint32_t prefix = s->prefix;
    const uint64_t first_sector = chunk_first_sector(s, it.chunk);
    uint8_t tag[32];
    int rc;
    if (it.ref.offset == 0) {
        std::memset(it.out, 0, it.plain);
        it.rc = 0;
        return;
    }
    if (it.ref.info == 0) {
        // Uncompressed: read straight into place (the prefix, if any, staged).
        rc = block_tag_with(w.mac, s, kTypeChunk, 0, it.chunk, it.ref, it.stage, prefix, it.out,
                            it.plain, tag);
        if (rc == 0 && !tags_equal(tag, it.ref.tag))
            rc = -EILSEQ;
        if (rc == 0 && prefix && !all_zero(it.stage + kXChaCha20NonceSize, 512 - 24))
            rc = -EILSEQ;
        if (rc == 0)
            rc = cipher_sectors(w.cipher, first_sector, it.plain / 512, it.out, it.out, kDecrypt,
                                prefix ? it.stage : nullptr);
        if (rc)
            secure_wipe(it.out, it.plain);
        it.rc = rc;
        return;
    }
    const uint64_t stored = round_up_512(it.ref.length);
    uint8_t *b = it.stage;
    rc = block_tag_with(w.mac, s, kTypeChunk, 0, it.chunk, it.ref, b, stored, nullptr, 0, tag);
    if (rc == 0 && !tags_equal(tag, it.ref.tag))
        rc = -EILSEQ;
    if (rc == 0 && prefix && !all_zero(b + kXChaCha20NonceSize, 512 - 24))
        rc = -EILSEQ;
    if (rc == 0)
        rc = cipher_sectors(w.cipher, first_sector, (stored - prefix) / 512, b + prefix, b + prefix,
                            kDecrypt, prefix ? b : nullptr);
    if (rc == 0 && !all_zero(b + it.ref.length, stored - it.ref.length))
        rc = -EILSEQ;
    if (rc == 0) {
        const int got = LZ4_decompress_safe(reinterpret_cast<const char *>(b + prefix),
                                            reinterpret_cast<char *>(it.out),
                                            int(it.ref.length - prefix), int(it.plain));
        if (got < 0 || uint32_t(got) != it.plain)
            rc = -EILSEQ;
    }
    secure_wipe(b, stored);
    if (rc)
        secure_wipe(it.out, it.plain);
    it.rc = rc;
}

bool in_transaction(const V3Store *s, uint64_t chunk) {
    if (s->txn)
        for (const NewChunk &c : s->txn->chunks)
            if (c.chunk == chunk)
                return true;
    return false;
}

// Reads the file extents of the window with one preadv per run of adjacent
// extents.
int read_extents(int fd, const std::vector<iovec> &iov, const std::vector<uint64_t> &at) {
    size_t i = 0;
    while (i < iov.size()) {
        const uint64_t start = at[i];
        uint64_t end = start;
        size_t n = 0, total = 0;
        while (i + n < iov.size() && at[i + n] == end && n < IOV_MAX) {
            end += iov[i + n].iov_len;
            total += iov[i + n].iov_len;
            ++n;
        }
        const ssize_t got = preadv(fd, iov.data() + i, int(n), off_t(start));
        if (got < 0)
            return -errno;
        if (size_t(got) != total)
            return -EIO;
        i += n;
    }
    return 0;
}

} // namespace

int pool_prepare(V3Store *s, const uint8_t *data, size_t length, uint64_t offset,
                 std::vector<PreparedChunk> *out) {
    // Buffers of an earlier window that were not consumed go back for reuse.
    for (PreparedChunk &pc : *out)
        if (pc.stored.capacity() && s->spare_buffers.size() < kMaxChunkWrites)
            s->spare_buffers.push_back(std::move(pc.stored));
    out->clear();
    if (!s->pool)
        return 0;
    const uint64_t first_start = offset;
    size_t plain_total = 0, nonces = 0;
    size_t nonce_index[kV3PoolWindowChunks];
    while (length && out->size() < kV3PoolWindowChunks) {
        const ChunkPiece p = chunk_piece(s, offset, length);
        const uint64_t plain = chunk_plain_length(s, p.chunk);
        if (p.chunk == kSector0Chunk || p.length != plain ||
            (plain_total && plain_total + plain > kV3PoolWindowBytes))
            break;
        PreparedChunk pc{};
        pc.chunk = p.chunk;
        // Zero chunks become holes and draw no nonce, as on the ordinary path.
        pc.zero = all_zero(data + (offset - first_start), plain);
        nonce_index[out->size()] = nonces;
        if (!pc.zero) {
            ++nonces;
            if (!s->spare_buffers.empty()) {
                pc.stored = std::move(s->spare_buffers.back());
                s->spare_buffers.pop_back();
            }
        }
        out->push_back(std::move(pc));
        plain_total += plain;
        offset += plain;
        length -= size_t(plain);
    }
    if (out->empty())
        return 0;
    // Nonces in chunk order: the same random stream as chunk-by-chunk writes.
    uint8_t nonce_bytes[kV3PoolWindowChunks * kXChaCha20NonceSize];
    if (s->prefix && nonces && !random_bytes(nonce_bytes, nonces * kXChaCha20NonceSize))
        return -EIO;
    int results[kV3PoolWindowChunks];
    PrepareJob job{s, data, first_start, out, nonce_bytes, nonce_index, results};
    pool_run(s->pool, out->size(), prepare_item, &job);
    for (size_t i = 0; i < out->size(); ++i)
        if (results[i]) {
            out->clear();
            return results[i];
        }
    return 0;
}

int settle_tags(V3Store *s) {
    Transaction *t = s->txn;
    if (!t)
        return 0;
    TagJob job{s, {}, nullptr};
    for (NewChunk &c : t->chunks)
        if (c.tag_owed)
            job.owed.push_back(&c);
    if (job.owed.empty())
        return 0;
    std::vector<int> results(job.owed.size(), 0);
    job.results = results.data();
    if (s->pool) {
        pool_run(s->pool, job.owed.size(), tag_item, &job);
    } else {
        for (size_t i = 0; i < job.owed.size(); ++i) {
            NewChunk &c = *job.owed[i];
            results[i] = block_tag(s, kTypeChunk, 0, c.chunk, c.ref, c.stored.data(),
                                   c.stored.size(), nullptr, 0, c.ref.tag);
        }
    }
    for (size_t i = 0; i < job.owed.size(); ++i) {
        if (results[i])
            return results[i];
        NewChunk &c = *job.owed[i];
        DirtyNode *leaf = dirty_find(s, kTypeMap, 0, c.chunk / 64);
        if (!leaf)
            return -EILSEQ;
        ref_encode(c.ref, leaf->data + kRefSize * (c.chunk % 64));
        c.tag_owed = false;
    }
    return 0;
}

bool write_behind_on(const V3Store *s) {
    return s->pool && s->pool->writer_started && !commit_hook;
}

int write_behind_queue(V3Store *s, CommitWrites &&w) {
    Pool *p = s->pool;
    auto entry = std::make_unique<CommitWrites>(std::move(w));
    std::unique_lock lock(p->io_mutex);
    p->io_done.wait(lock, [&] {
        return p->io_error || p->queued.size() + (p->io_busy ? 1 : 0) < kWriteBehindDepth;
    });
    if (p->io_error)
        return p->io_error;
    p->queued.push_back(std::move(entry));
    for (std::vector<uint8_t> &b : p->returned)
        if (s->spare_buffers.size() < kMaxChunkWrites)
            s->spare_buffers.push_back(std::move(b));
    p->returned.clear();
    lock.unlock();
    p->io_work.notify_all();
    return 0;
}

int write_behind_wait(V3Store *s) {
    if (!s->pool || !s->pool->writer_started)
        return 0;
    return writer_wait(s->pool);
}

ssize_t pool_read(V3Store *s, uint8_t *buffer, size_t length, uint64_t offset) {
    Pool *p = s->pool;
    if (!p)
        return 0;
    if (int rc = write_behind_wait(s))
        return rc;
    ReadItem items[kV3PoolWindowChunks];
    size_t count = 0, plain_total = 0, staged = 0;
    std::vector<iovec> iov;
    std::vector<uint64_t> at;
    iov.reserve(2 * kV3PoolWindowChunks);
    at.reserve(2 * kV3PoolWindowChunks);
    const uint64_t end_used = view_state(s).end_used;
    while (length > plain_total && count < kV3PoolWindowChunks) {
        const ChunkPiece piece = chunk_piece(s, offset + plain_total, length - plain_total);
        const uint64_t plain = chunk_plain_length(s, piece.chunk);
        if (piece.chunk == kSector0Chunk || piece.length != plain ||
            (plain_total && plain_total + plain > kV3PoolWindowBytes))
            break;
        BlockRef ref;
        // A reference that fails its checks ends the window: the ordinary
        // path reports it once the chunks before it are done.
        if (chunk_ref_get(s, piece.chunk, &ref) != 0 ||
            chunk_ref_check(s, piece.chunk, ref, end_used) != 0 || in_transaction(s, piece.chunk))
            break;
        ReadItem &it = items[count];
        it = ReadItem{piece.chunk, ref, buffer + plain_total, nullptr, uint32_t(plain), 0};
        if (ref.offset != 0) {
            const size_t need = ref.info == 0 ? s->prefix : round_up_512(ref.length);
            if (staged + need > p->stage_size)
                break;
            if (need)
                it.stage = p->stage + staged;
            if (ref.info == 0) {
                if (s->prefix) {
                    iov.push_back({it.stage, s->prefix});
                    at.push_back(ref.offset);
                }
                iov.push_back({it.out, plain});
                at.push_back(ref.offset + s->prefix);
            } else {
                iov.push_back({it.stage, need});
                at.push_back(ref.offset);
            }
            staged += need;
        }
        ++count;
        plain_total += plain;
    }
    if (count < 2)
        return 0;
    int rc = read_extents(s->fd, iov, at);
    if (rc == 0) {
        ReadJob job{s, items};
        pool_run(p, count, read_item, &job);
        for (size_t i = 0; i < count && rc == 0; ++i)
            rc = items[i].rc;
    }
    if (rc) {
        secure_wipe(buffer, plain_total);
        secure_wipe(p->stage, staged);
        return rc;
    }
    return ssize_t(plain_total);
}

} // namespace tw::v3

namespace tw {

using namespace v3;

unsigned v3_pool_online_cpus() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1u : unsigned(std::min<long>(n, INT_MAX));
}

int v3_pool_start(V3Store *s, const CipherContext *data_cipher, unsigned threads) {
    if (!s || !data_cipher)
        return -EINVAL;
    if (!s->unlocked || !s->mac)
        return -EACCES;
    v3_pool_stop(s);
    if (threads == 0)
        threads = v3_pool_online_cpus();
    threads = std::min(threads, kV3PoolMaxThreads);
    if (threads < 2)
        return 0;
    Pool *p = new (std::nothrow) Pool();
    if (!p)
        return -ENOMEM;
    p->count = threads;
    int rc = 0;
    for (unsigned i = 0; i < threads && rc == 0; ++i)
        rc = worker_prepare(p->workers[i], s, data_cipher);
    if (rc == 0) {
        p->stage_size = kV3PoolWindowBytes + kV3PoolWindowChunks * 512;
        p->stage = static_cast<uint8_t *>(secure_alloc(p->stage_size));
        if (!p->stage)
            rc = -ENOMEM;
    }
    // Helpers take no signals: those go to the threads that expect them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    for (unsigned i = 1; i < threads && rc == 0; ++i) {
        auto *start = new (std::nothrow) HelperStart{p, i};
        if (!start) {
            rc = -ENOMEM;
            break;
        }
        int error = pthread_create(&p->threads[p->started], nullptr, helper_main, start);
        if (error) {
            delete start;
            rc = -error;
            break;
        }
        ++p->started;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc) {
        pool_destroy(p);
        return rc;
    }
    s->pool = p;
    return 0;
}

void v3_pool_stop(V3Store *s) {
    if (!s || !s->pool)
        return;
    pool_destroy(s->pool);
    s->pool = nullptr;
}

int v3_pool_write_behind(V3Store *s) {
    if (!s || !s->pool || !s->no_flush)
        return -EINVAL;
    Pool *p = s->pool;
    if (p->writer_started)
        return 0;
    p->fd = s->fd;
    p->io_error = 0;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int error = pthread_create(&p->writer, nullptr, writer_main, p);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error)
        return -error;
    p->writer_started = true;
    return 0;
}

int v3_pool_write_behind_end(V3Store *s) {
    if (!s || !s->pool || !s->pool->writer_started)
        return 0;
    Pool *p = s->pool;
    const int rc = writer_wait(p);
    writer_stop(p);
    for (std::vector<uint8_t> &b : p->returned)
        if (s->spare_buffers.size() < kMaxChunkWrites)
            s->spare_buffers.push_back(std::move(b));
    p->returned.clear();
    if (rc && !s->sticky)
        s->sticky = rc;
    return rc;
}

unsigned v3_pool_threads(const V3Store *s) {
    return s && s->pool ? s->pool->count : 1;
}

} // namespace tw
