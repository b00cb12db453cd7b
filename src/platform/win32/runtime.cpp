// The few C++ runtime pieces the shipped program needs, in place of the
// static libstdc++ ones: with those, one std::string member or a plain `new`
// links the whole exception, stdexcept, COW-string and name-demangling
// machinery (about 150 KB of the exe) that a program built without
// exceptions never runs. Built into the Windows targets only.
//
// Each replacement ends the program where the library's version would: with
// exceptions off a thrown length error or bad_alloc reaches std::terminate,
// whose default handler aborts.
#include <cstdlib>
#include <new>
#include <string>

// The std::string members the program calls, instantiated here instead of
// being taken from libstdc++'s string-inst object (which also carries every
// other member and its exception handling). Unused members are dropped by
// --gc-sections.
template class std::basic_string<char>;

namespace std {
void __throw_length_error(const char*) { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
}  // namespace std

// Replaceable global allocation functions over msvcrt's heap. No new-handler
// is ever installed, so a failed allocation ends the program as above.
void* operator new(std::size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) std::abort();
    return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
