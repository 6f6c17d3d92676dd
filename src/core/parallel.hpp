// Work split over threads: contiguous chunks of an index range, one thread
// each, the calling thread taking the first.  Threads are started per call
// and joined before it returns, so nothing outlives a call (and a forked
// process inherits no pool).
#pragma once

#include <algorithm>
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

}  // namespace quorvel
