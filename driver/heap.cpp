// The DLL's allocation operators, on the process heap. The C++ runtime's own
// operators throw and so bring its unwinder and start-up along; the codec only
// allocates with std::nothrow, and the process heap is there in every Windows
// implementation a host may load the DLL in.
#include <windows.h>

#include <new>

namespace {

void* heap_alloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size ? size : 1); }
void heap_free(void* p) {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}

}  // namespace

void* operator new(size_t size, const std::nothrow_t&) noexcept { return heap_alloc(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return heap_alloc(size); }
void operator delete(void* p) noexcept { heap_free(p); }
void operator delete[](void* p) noexcept { heap_free(p); }
void operator delete(void* p, size_t) noexcept { heap_free(p); }
void operator delete[](void* p, size_t) noexcept { heap_free(p); }
