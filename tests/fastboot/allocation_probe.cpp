#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_Counting{false};
std::atomic<long> g_Allocations{0};
std::atomic<int> g_NothrowUntilFailure{-1}; // -1: no failure planned

void *allocate(std::size_t size) {
    if (g_Counting.load())
        ++g_Allocations;
    return std::malloc(size != 0 ? size : 1);
}

void *allocate_or_throw(std::size_t size) {
    if (void *block = allocate(size))
        return block;
    throw std::bad_alloc();
}

void *allocate_nothrow(std::size_t size) {
    int left = g_NothrowUntilFailure.load();
    while (left >= 0 && !g_NothrowUntilFailure.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0)
        return nullptr;
    return allocate(size);
}

} // namespace

void start_counting_allocations() {
    g_Allocations = 0;
    g_Counting = true;
}

long stop_counting_allocations() {
    g_Counting = false;
    return g_Allocations.load();
}

void fail_nothrow_allocation_after(int succeeding) {
    g_NothrowUntilFailure = succeeding;
}

void cancel_allocation_failure() {
    g_NothrowUntilFailure = -1;
}

// Every plain form is replaced, so that allocation and release always meet in malloc and free (a
// sanitizer's own operator delete must never see a block from this operator new).
void *operator new(std::size_t size) {
    return allocate_or_throw(size);
}
void *operator new[](std::size_t size) {
    return allocate_or_throw(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return allocate_nothrow(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return allocate_nothrow(size);
}
void operator delete(void *block) noexcept {
    std::free(block);
}
void operator delete[](void *block) noexcept {
    std::free(block);
}
void operator delete(void *block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void *block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void *block, const std::nothrow_t &) noexcept {
    std::free(block);
}
void operator delete[](void *block, const std::nothrow_t &) noexcept {
    std::free(block);
}
