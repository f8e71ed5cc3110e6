#include "tests/counting_new.h"

#include <cstdlib>
#include <new>

namespace allocation_count {

thread_local bool counting = false;
thread_local long allocations = 0;

}  // namespace allocation_count

// Every form of new and delete is replaced, so that all of them pair up on malloc and free (the
// sanitizers check that they do).
namespace {
void* allocate(std::size_t size) {
    if (allocation_count::counting) {
        ++allocation_count::allocations;
    }
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
