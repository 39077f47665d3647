// pointer<T>: the shared-ownership handle used for every shared object.
//
// It wraps boost::shared_ptr<T>: copying shares, the last owner deletes, the
// counts are atomic, and it may be empty. Unlike a raw shared_ptr it checks
// every dereference: `*p` or `p->` on an empty pointer raises null_pointer,
// a std::runtime_error whose text is "refering to null " followed by the
// pointee type's run-time name, typeid(T).name().
#pragma once

#include <boost/shared_ptr.hpp>
#include <stdexcept>
#include <string>
#include <typeinfo>

class null_pointer : public std::runtime_error {
public:
    explicit null_pointer(const std::type_info& pointee);
    // Raises null_pointer for the given pointee type; kept out of line so the
    // dereference stays small.
    [[noreturn]] static void raise(const std::type_info& pointee);
};

template <class T>
class pointer {
public:
    typedef T element_type;

    pointer() {}
    pointer(const pointer&) = default;
    pointer& operator=(const pointer&) = default;
    // Moving hands the share over without counting.
    pointer(pointer&&) noexcept = default;
    pointer& operator=(pointer&&) noexcept = default;
    // Takes ownership of p (which may be null). The deleter is that of U, so a
    // derived object is destroyed as what it is.
    template <class U>
    explicit pointer(U* p) : m_ptr(p) {}
    pointer(const boost::shared_ptr<T>& p) : m_ptr(p) {}
    template <class U>
    pointer(const pointer<U>& other) : m_ptr(other.shared()) {}

    T* get() const { return m_ptr.get(); }
    T& operator*() const { return *checked(); }
    T* operator->() const { return checked(); }
    explicit operator bool() const { return m_ptr.get() != nullptr; }
    bool operator!() const { return m_ptr.get() == nullptr; }

    long use_count() const { return m_ptr.use_count(); }
    void reset() { m_ptr.reset(); }
    void swap(pointer& other) noexcept { m_ptr.swap(other.m_ptr); }
    template <class U>
    void reset(U* p) { m_ptr.reset(p); }

    const boost::shared_ptr<T>& shared() const { return m_ptr; }

private:
    T* checked() const {
        T* p = m_ptr.get();
        if (!p) null_pointer::raise(typeid(T));
        return p;
    }

    boost::shared_ptr<T> m_ptr;
};

template <class T, class U>
bool operator==(const pointer<T>& a, const pointer<U>& b) { return a.get() == b.get(); }
template <class T, class U>
bool operator!=(const pointer<T>& a, const pointer<U>& b) { return a.get() != b.get(); }

// Casts that share ownership with the source, as the shared_ptr casts do.
template <class T, class U>
pointer<T> static_pointer_cast(const pointer<U>& p) {
    return pointer<T>(boost::static_pointer_cast<T>(p.shared()));
}
template <class T, class U>
pointer<T> dynamic_pointer_cast(const pointer<U>& p) {
    return pointer<T>(boost::dynamic_pointer_cast<T>(p.shared()));
}
