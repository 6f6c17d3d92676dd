// Work split over threads: an index range cut into contiguous chunks, one
// thread each, or into more pieces than threads, which the threads take in
// turn.  Threads are started per call and joined before it returns, so
// nothing outlives a call (and a forked process inherits no pool).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace quorvel {

// The first index of chunk c when [0, count) is cut into `chunks` pieces whose
// lengths differ by at most one.
inline std::size_t chunk_begin(std::size_t count, std::size_t chunks, std::size_t c) {
    return (count / chunks) * c + std::min(c, count % chunks);
}

// How many threads to use for `count` items when each thread should get at
// least `min_items`: at most `workers`, at least 1.
inline std::size_t thread_count(std::size_t count, std::size_t workers, std::size_t min_items) {
    return std::max<std::size_t>(1, std::min(workers, count / std::max<std::size_t>(min_items, 1)));
}

// Runs task(c, begin, end) for every chunk c of [0, count) cut into `chunks`
// pieces, each on its own thread.  When a thread cannot be started, the
// chunks left over run on the calling thread after its own.  The first
// exception of the lowest chunk that raised one is rethrown once every chunk
// has finished.
template <class Task>
void run_chunks(std::size_t count, std::size_t chunks, Task&& task) {
    if (chunks <= 1) {
        task(std::size_t{0}, std::size_t{0}, count);
        return;
    }
    std::vector<std::exception_ptr> errors(chunks);
    const auto guarded = [&](std::size_t c) {
        try {
            task(c, chunk_begin(count, chunks, c), chunk_begin(count, chunks, c + 1));
        } catch (...) {
            errors[c] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(chunks - 1);
    std::size_t next = 1;  // the first chunk no thread took
    for (; next < chunks; ++next) {
        try {
            threads.emplace_back(guarded, next);
        } catch (...) {  // no more threads now: the calling thread runs the rest
            break;
        }
    }
    guarded(0);
    for (std::size_t c = next; c < chunks; ++c) guarded(c);
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
}

// Runs task(p, begin, end) for every piece p of [0, count) cut into `pieces`
// pieces, on up to `threads` threads that each take the next piece no thread
// has taken: a thread that other work slows down (another process on its
// core, a slower core) takes fewer pieces, instead of the call waiting for
// its fixed share.  An exception stops the thread that met it (the others
// take the pieces left) and reaches the caller once every thread is done.
template <class Task>
void run_pieces(std::size_t count, std::size_t pieces, std::size_t threads, Task&& task) {
    std::atomic<std::size_t> next{0};
    run_chunks(threads, threads, [&](std::size_t, std::size_t, std::size_t) {
        for (std::size_t p = next++; p < pieces; p = next++)
            task(p, chunk_begin(count, pieces, p), chunk_begin(count, pieces, p + 1));
    });
}

}  // namespace quorvel
