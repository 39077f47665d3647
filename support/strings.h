// A read-only view of a run of characters, made from a std::string or a
// C string without copying them.
#pragma once

#include <cstring>
#include <string>

namespace Core {
namespace Strings {

template <class StringT>
class BasicConstStringRef {
public:
    typedef typename StringT::value_type char_type;

    BasicConstStringRef(const StringT& s) : m_begin(s.data()), m_size(s.size()) {}
    BasicConstStringRef(const char_type* s) : m_begin(s), m_size(s ? std::strlen(s) : 0) {}
    BasicConstStringRef(const char_type* s, std::size_t n) : m_begin(s), m_size(n) {}

    const char_type* begin() const { return m_begin; }
    const char_type* end() const { return m_begin + m_size; }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    StringT str() const { return StringT(m_begin, m_size); }

private:
    const char_type* m_begin;
    std::size_t m_size;
};

}  // namespace Strings
}  // namespace Core
