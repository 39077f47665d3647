#include "Core/Orvex/__scoll.h"

#include <algorithm>

#include "support/Utils.h"

namespace Orvex {

// ------------------------------------------------------------ TPtrToIndexMap

namespace {
struct NameLess {
    bool operator()(const TPtrToIndexMap::value_type& e, const std::string& name) const {
        return e.first->name() < name;
    }
};
}  // namespace

TPtrToIndexMap::iterator TPtrToIndexMap::lower_bound(const std::string& name) {
    return std::lower_bound(m_entries.begin(), m_entries.end(), name, NameLess());
}

TPtrToIndexMap::const_iterator TPtrToIndexMap::lower_bound(const std::string& name) const {
    return std::lower_bound(m_entries.begin(), m_entries.end(), name, NameLess());
}

TPtrToIndexMap::iterator TPtrToIndexMap::find(const std::string& name) {
    iterator it = lower_bound(name);
    return it != m_entries.end() && !(name < it->first->name()) ? it : m_entries.end();
}

TPtrToIndexMap::const_iterator TPtrToIndexMap::find(const std::string& name) const {
    const_iterator it = lower_bound(name);
    return it != m_entries.end() && !(name < it->first->name()) ? it : m_entries.end();
}

// ------------------------------------------------------------ TPtrCollection

TPtrCollection::TPtrCollection(bad_index_handler badIndex, bad_key_handler badKey)
    : m_pImpl(new TPtrCollectionImpl), m_badIndex(badIndex), m_badKey(badKey) {}

TPtrCollection::TPtrCollection(const TPtrCollection& other)
    : jobject(), m_pImpl(new TPtrCollectionImpl(*other.m_pImpl)), m_badIndex(other.m_badIndex),
      m_badKey(other.m_badKey) {}

TPtrCollection& TPtrCollection::operator=(const TPtrCollection& other) {
    if (this != &other) *m_pImpl = *other.m_pImpl;
    return *this;
}

TPtrCollection::~TPtrCollection() {}

void TPtrCollection::badIndexReturned(unsigned i) const {
    m_badIndex(i);
    Utils::raise_logic_error("Index " + std::to_string(i) + " out of range (the collection's handler returned)");
}

void TPtrCollection::badKeyReturned(const std::string& name) const {
    m_badKey(name);
    Utils::raise_logic_error("Name " + name + " not found (the collection's handler returned)");
}

void TPtrCollection::add(const pointer<TNamed>& p) {
    const std::string& name = p->name();  // raises null_pointer for an empty p
    TPtrToIndexMap::iterator it = m_pImpl->m_Index.lower_bound(name);
    if (it != m_pImpl->m_Index.end() && !(name < it->first->name())) {
        m_pImpl->m_Table[it->second] = p;
        it->first = p;
        return;
    }
    const unsigned position = size();
    // Grow the table first so that a failed allocation leaves both unchanged.
    m_pImpl->m_Table.push_back(p);
    try {
        m_pImpl->m_Index.insert(it, TPtrToIndexMap::value_type(p, position));
    } catch (...) {
        m_pImpl->m_Table.pop_back();
        throw;
    }
}

unsigned TPtrCollection::indexOf(const std::string& name) const {
    TPtrToIndexMap::const_iterator it = m_pImpl->m_Index.find(name);
    return it == m_pImpl->m_Index.end() ? size() : it->second;
}

unsigned TPtrCollection::checkedIndexOf(const std::string& name) const {
    const unsigned i = indexOf(name);
    if (i == size()) badKeyReturned(name);
    return i;
}

pointer<TNamed> TPtrCollection::ptrAt(unsigned i) const {
    if (i >= size()) {
        m_badIndex(i);
        return pointer<TNamed>();
    }
    return m_pImpl->m_Table[i];
}

pointer<TNamed> TPtrCollection::ptrAt(const std::string& name) const {
    const unsigned i = indexOf(name);
    if (i == size()) {
        m_badKey(name);
        return pointer<TNamed>();
    }
    return m_pImpl->m_Table[i];
}

TNamed& TPtrCollection::objectAt(const std::string& name) { return *m_pImpl->m_Table[checkedIndexOf(name)]; }

const TNamed& TPtrCollection::objectAt(const std::string& name) const {
    return *m_pImpl->m_Table[checkedIndexOf(name)];
}

void TPtrCollection::updateAt(unsigned i, const pointer<TNamed>& p) {
    if (i >= size()) badIndexReturned(i);
    const std::string& name = p->name();
    TPtrToIndexMap::iterator it = m_pImpl->m_Index.find(name);
    if (it == m_pImpl->m_Index.end() || it->second != i)
        Utils::raise_logic_error("Cannot store an object named " + name + " at position " + std::to_string(i) +
                                 ": the name there differs");
    m_pImpl->m_Table[i] = p;
    it->first = p;
}

void TPtrCollection::updateAt(const std::string& name, const pointer<TNamed>& p) {
    updateAt(checkedIndexOf(name), p);
}

void TPtrCollection::reserve(unsigned n) {
    m_pImpl->m_Table.reserve(n);
    m_pImpl->m_Index.reserve(n);
}

void TPtrCollection::clear() {
    m_pImpl->m_Table.clear();
    m_pImpl->m_Index.clear();
}

}  // namespace Orvex
