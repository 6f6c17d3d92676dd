// Work split over threads: every index is visited exactly once in contiguous
// chunks (or pieces that threads take in turn), and an exception thrown on a
// worker thread reaches the caller after every chunk has finished, the lowest
// chunk's first.
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel.hpp"

using quorvel::run_chunks;
using quorvel::run_pieces;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    ++failures;
    std::printf("FAIL %s\n", what);
}

}  // namespace

int main() {
    for (std::size_t count : {0u, 1u, 7u, 1000u})
        for (std::size_t chunks : {1u, 2u, 3u, 8u}) {
            std::vector<std::atomic<int>> visits(count);
            std::vector<std::size_t> starts(chunks + 1, 0);
            run_chunks(count, chunks, [&](std::size_t c, std::size_t begin, std::size_t end) {
                starts[c] = begin;
                if (c + 1 == chunks) starts[chunks] = end;
                for (std::size_t i = begin; i < end; ++i) ++visits[i];
            });
            bool once = true;
            for (const auto& v : visits) once = once && v == 1;
            bool ordered = starts[chunks] == count;
            for (std::size_t c = 0; c < chunks; ++c) ordered = ordered && starts[c] <= starts[c + 1];
            check(once && ordered, "every index once, in contiguous ordered chunks");
        }

    for (std::size_t threads : {1u, 2u, 3u})
        for (std::size_t pieces : {threads, 5 * threads}) {
            std::vector<std::atomic<int>> visits(1000), taken(pieces);
            run_pieces(visits.size(), pieces, threads, [&](std::size_t p, std::size_t begin, std::size_t end) {
                ++taken[p];
                for (std::size_t i = begin; i < end; ++i) ++visits[i];
            });
            bool once = true;
            for (const auto& v : visits) once = once && v == 1;
            for (const auto& t : taken) once = once && t == 1;
            check(once, "every piece taken once, every index visited once");
        }

    std::atomic<int> finished = 0;
    std::string caught;
    try {
        run_chunks(100, 4, [&](std::size_t c, std::size_t, std::size_t) {
            if (c >= 2) throw std::runtime_error("chunk " + std::to_string(c));
            ++finished;
        });
    } catch (const std::runtime_error& error) {
        caught = error.what();
    }
    check(caught == "chunk 2" && finished == 2, "a worker's exception reaches the caller, the lowest chunk's");

    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
