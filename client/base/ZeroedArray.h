// A fixed array of values that start as zero, for a value per object of a
// large heap that an analysis writes for some objects only: the memory comes
// from calloc, so the system maps its pages on first write, and only the
// pages written count towards the resident set.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace vesk {

template <class T>
class ZeroedArray {
    static_assert(std::is_trivial<T>::value, "zero bytes must be a valid T");

public:
    explicit ZeroedArray(size_t count) : values(static_cast<T*>(calloc(count ? count : 1, sizeof(T)))) {
        if (!values) throw std::bad_alloc();
    }
    T& operator[](size_t i) { return values.get()[i]; }
    const T& operator[](size_t i) const { return values.get()[i]; }

private:
    struct Free {
        void operator()(T* p) const { free(p); }
    };
    std::unique_ptr<T, Free> values;
};

}  // namespace vesk
