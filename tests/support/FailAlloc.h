// Allocation failure on demand. FailAlloc.cpp replaces the global operator
// new and delete of every test program with malloc and free; while a
// FailAllocations lives, every operator new of `size` bytes (kEvery: of any
// size) fails (std::bad_alloc, or null for the nothrow form), on the thread
// that made the object or, with `all_threads`, on every thread. A log capture allocates: keep it
// out of a scope that refuses every size.
#pragma once

#include <cstddef>

namespace corvio_test {

class FailAllocations {
public:
    static constexpr size_t kEvery = static_cast<size_t>(-1);
    explicit FailAllocations(size_t size, bool all_threads = false);
    ~FailAllocations();
    FailAllocations(const FailAllocations&) = delete;
    FailAllocations& operator=(const FailAllocations&) = delete;

private:
    bool m_all_threads;
};

}  // namespace corvio_test
