#include "support/FailAlloc.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace corvio_test {
namespace {
thread_local size_t t_fail_size = 0;
std::atomic<size_t> g_fail_size{0};
}  // namespace

FailAllocations::FailAllocations(size_t size, bool all_threads) : m_all_threads(all_threads) {
    if (all_threads)
        g_fail_size = size;
    else
        t_fail_size = size;
}

FailAllocations::~FailAllocations() {
    if (m_all_threads)
        g_fail_size = 0;
    else
        t_fail_size = 0;
}

}  // namespace corvio_test

namespace {

// The allocation, or null when it is refused or malloc fails.
void* allocate(size_t size) {
    using corvio_test::FailAllocations;
    const size_t fail =
        corvio_test::t_fail_size != 0 ? corvio_test::t_fail_size : corvio_test::g_fail_size.load();
    if (fail != 0 && (fail == FailAllocations::kEvery || fail == size)) {
        return nullptr;
    }
    return std::malloc(size != 0 ? size : 1);
}

void* allocateOrThrow(size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}

}  // namespace

// Every form but the aligned ones, so that each allocation is freed by its
// own kind (the sanitizers check the pairs).
void* operator new(size_t size) {
    return allocateOrThrow(size);
}
void* operator new[](size_t size) {
    return allocateOrThrow(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
