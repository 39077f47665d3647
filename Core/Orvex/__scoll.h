// Named objects, and the collection that keeps them in insertion order and
// finds them by position or by name.
//
// The collection is the container under a table structure, a table set and
// the transformer registry. It shares the objects it holds (pointer<TNamed>)
// and never copies them. Each owner hands it two error handlers, one for a
// bad position and one for an unknown name, so that errors come out in the
// owner's words; the collection composes no message of its own for those.
//
// Decisions of this unit:
// - A handler that returns instead of raising: ptrAt gives an empty pointer;
//   objectAt and updateAt raise a logic error ("... handler returned"),
//   since they have nothing to hand back or store.
// - updateAt(i, p) refuses, with a logic error and no change, a p whose name
//   is not the name stored at position i (a name absent from the index, or
//   the name of another position): either would break the invariant that
//   the index and the table name the same object at the same position.
// - ptrAt is a const operation returning a copy of the stored pointer, so one
//   form serves const and non-const collections.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <vector>
#include <memory>

#include "support/jobject.h"
#include "support/pointer.h"

namespace Orvex {

// An object with a name; the base of everything a TPtrCollection holds.
class TNamed : public jobject {
public:
    explicit TNamed(const std::string& name) : m_name(name) {}
    TNamed(const TNamed&) = default;
    virtual ~TNamed() {}

    const std::string& name() const { return m_name; }

private:
    TNamed& operator=(const TNamed&) = delete;

    std::string m_name;
};

// Name index: (object, position) entries sorted ascending by the object's
// name under std::string comparison, one entry per name.
class TPtrToIndexMap {
public:
    typedef std::pair<pointer<TNamed>, unsigned> value_type;
    typedef std::vector<value_type>::iterator iterator;
    typedef std::vector<value_type>::const_iterator const_iterator;

    // The first entry whose name is not less than `name` (binary search).
    iterator lower_bound(const std::string& name);
    const_iterator lower_bound(const std::string& name) const;
    // The entry of that name, or end().
    iterator find(const std::string& name);
    const_iterator find(const std::string& name) const;

    iterator begin() { return m_entries.begin(); }
    iterator end() { return m_entries.end(); }
    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }

    void insert(iterator where, const value_type& entry) { m_entries.insert(where, entry); }
    void reserve(unsigned n) { m_entries.reserve(n); }
    void clear() { m_entries.clear(); }
    std::size_t size() const { return m_entries.size(); }

private:
    std::vector<value_type> m_entries;
};

// What a TPtrCollection owns: the name index and the table in insertion
// order. Both always have the same number of entries.
class TPtrCollectionImpl {
public:
    TPtrToIndexMap m_Index;
    std::vector<pointer<TNamed> > m_Table;
};

class TPtrCollection : public jobject {
    // The `const char*` forms are templates so that a literal 0 picks the
    // position form instead of being ambiguous with a null name.
    template <class C>
    using CharOnly = typename std::enable_if<std::is_same<C, char>::value>::type;

public:
    typedef void (*bad_index_handler)(unsigned);
    typedef void (*bad_key_handler)(const std::string&);

    // An empty collection reporting errors through the two handlers.
    TPtrCollection(bad_index_handler badIndex, bad_key_handler badKey);
    // Copies share the objects; the handlers come along with the copy.
    TPtrCollection(const TPtrCollection& other);
    // Replaces index and table with the other's; keeps this one's handlers.
    TPtrCollection& operator=(const TPtrCollection& other);
    virtual ~TPtrCollection();

    // Appends p, or, when an object of p's name is present, puts p in its
    // place (same position, size unchanged). An empty p raises null_pointer
    // and adds nothing.
    void add(const pointer<TNamed>& p);

    // Position of the object of that name, or size() when absent. Never calls
    // a handler.
    unsigned indexOf(const std::string& name) const;
    template <class C, class = CharOnly<C> >
    unsigned indexOf(const C* name) const { return indexOf(std::string(name)); }

    // A copy of the stored pointer; a bad position or name calls the handler
    // and, if it returns, gives an empty pointer.
    pointer<TNamed> ptrAt(unsigned i) const;
    pointer<TNamed> ptrAt(const std::string& name) const;
    template <class C, class = CharOnly<C> >
    pointer<TNamed> ptrAt(const C* name) const { return ptrAt(std::string(name)); }

    // The object itself; bad position or name calls the handler.
    TNamed& objectAt(unsigned i) {
        if (i >= m_pImpl->m_Table.size()) badIndexReturned(i);
        return *m_pImpl->m_Table[i];
    }
    const TNamed& objectAt(unsigned i) const {
        if (i >= m_pImpl->m_Table.size()) badIndexReturned(i);
        return *m_pImpl->m_Table[i];
    }
    TNamed& objectAt(const std::string& name);
    const TNamed& objectAt(const std::string& name) const;
    template <class C, class = CharOnly<C> >
    TNamed& objectAt(const C* name) { return objectAt(std::string(name)); }
    template <class C, class = CharOnly<C> >
    const TNamed& objectAt(const C* name) const { return objectAt(std::string(name)); }

    // Replaces the pointer at a position or of a name; p must bear the name
    // already stored there (see the decisions above).
    void updateAt(unsigned i, const pointer<TNamed>& p);
    void updateAt(const std::string& name, const pointer<TNamed>& p);
    template <class C, class = CharOnly<C> >
    void updateAt(const C* name, const pointer<TNamed>& p) { updateAt(std::string(name), p); }

    // Room for n entries, in the table and then the index.
    void reserve(unsigned n);
    // Empties the table, then the index.
    void clear();
    unsigned size() const { return static_cast<unsigned>(m_pImpl->m_Table.size()); }
    bool empty() const { return m_pImpl->m_Table.empty(); }

private:
    // Call the handler; raise a logic error if it returns.
    [[noreturn]] void badIndexReturned(unsigned i) const;
    [[noreturn]] void badKeyReturned(const std::string& name) const;
    // Position of the name, calling the unknown-name handler when absent.
    unsigned checkedIndexOf(const std::string& name) const;

    std::unique_ptr<TPtrCollectionImpl> m_pImpl;
    bad_index_handler m_badIndex;
    bad_key_handler m_badKey;
};

}  // namespace Orvex
