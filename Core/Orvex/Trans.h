// Field transformers: what a transformer, its arguments and their factories
// offer, and the registry that maps a category and a field type to a
// transformer factory and a category to an argument factory.
//
// What a transformer and its arguments are (field_transformer_base and its
// nested args) lives in the leaf header Core/Orvex/TransArgs.h, which the
// field model includes to hold a field's arguments; this header builds the
// registry and the typed transformers on it. It names TFieldInfo, TRecord,
// TFields and TField<T> without including them: the members of
// field_transformer<T> that need the field model are defined in Trans.cpp and
// instantiated there for the six field types.
//
// Lifetime of the registry:
// - instance() builds the registry on first call, at whatever point of the
//   library's static initialisation that happens, and at that moment
//   registers its destruction to run at unload. Destruction runs in reverse
//   order of registration, so the registry is torn down after every static
//   registration object, which can only be completed after instance() has
//   returned. Destruction clears the guard: a later instance() builds a new,
//   empty registry.
// - Should a registration object nevertheless be destroyed after its
//   registry (a host that tears the registry down itself through
//   destroyInstance(), or another unload order), its destructor notices that
//   the registry it registered with is gone and does nothing: its creator
//   went with the registry. Every registry build has its own generation
//   number, so a registration never touches a newer registry built at the
//   same address.
//
// Decisions of this unit:
// - After clear(), a register or lookup starts a new, empty collection (the
//   library itself only ever destroys a cleared registry).
// - The args creator interface has a virtual destructor after its two
//   factory slots, so that it may safely be released through a base pointer.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "Core/Orvex/TransArgs.h"
#include "Core/Orvex/__scoll.h"
#include "Core/Orvex/field_types.h"
#include "support/fixed_point.h"
#include "support/jobject.h"
#include "support/pointer.h"

namespace serial {
class serial_in;
}

namespace Orvex {

class TFieldInfo;
class TRecord;
class TFields;
class TTables;
template <class T>
class TField;

class field_transformer_manager;

// Factory of transformers for one field type of one category; its name is
// the type name it serves ("int", "u_int", "long", "u_long", "fixed", "str").
class field_transformer_base::creator : public TNamed {
public:
    explicit creator(const std::string& typeName) : TNamed(typeName) {}
    virtual ~creator() {}
    // A transformer for a field of the table set `tables`, whose arguments
    // `a` are of this creator's category. Empty when none can be made.
    virtual pointer<field_transformer_base> create(const TTables& tables,
                                                   const field_transformer_base::args& a) const = 0;
};

// Registers a transformer creator under a category for the object's
// lifetime. Construction raises what registerTransformerCreator raises (and
// then nothing is registered); destruction unregisters, unless the registry
// is gone by then.
class field_transformer_base::registration {
public:
    registration(const std::string& category, const pointer<field_transformer_base::creator>& c);
    ~registration();

private:
    registration(const registration&) = delete;
    registration& operator=(const registration&) = delete;

    field_transformer_manager* m_registry;
    std::string m_category;
    std::string m_type;
    unsigned m_generation;  // the registry build registered with
};

// Registers an args creator under a category for the object's lifetime;
// destruction unregisters it, unless the registry is gone by then.
class field_transformer_base::args::registration {
public:
    registration(const std::string& category, const pointer<field_transformer_base::args::creator>& c);
    ~registration();

private:
    registration(const registration&) = delete;
    registration& operator=(const registration&) = delete;

    field_transformer_manager* m_registry;
    std::string m_category;
    unsigned m_generation;
};

// A transformer of fields of one value type T: int, unsigned int, long,
// unsigned long, fixed_point or std::string. It implements the generic
// operations by checking the type and handing typed values and descriptors
// to do_onChange / do_addToFields.
template <class T>
class field_transformer : public field_transformer_base {
public:
    typedef T value_type;
    class creator;

    // The bad-type error ("Field <name> is type of (<actual>), should be
    // (<expected>)") unless the field's type is T's; nothing else.
    void reset(const TFieldInfo& field) override;
    // Reads field `index` of `record` as a T and passes it to do_onChange.
    void onChange(TRecord& record, unsigned index) override;
    // do_addToFields with `field` taken as a TField<T> (checked by reset).
    void addToFields(TFields& fields, const TFieldInfo& field) const override;

    virtual void do_onChange(const T& value) = 0;
    virtual void do_addToFields(TFields& fields, const TField<T>& field) const = 0;

    // T's field type name ("int", "u_int", "long", "u_long", "fixed", "str").
    static const std::string& typeName();
};

// A creator of transformers of fields of type T, named with T's type name.
template <class T>
class field_transformer<T>::creator : public field_transformer_base::creator {
public:
    creator();
};

#define ORVEX_EXTERN_TRANSFORMER(T, enumerator) extern template class field_transformer<T>;
ORVEX_FIELD_TYPES(ORVEX_EXTERN_TRANSFORMER)
#undef ORVEX_EXTERN_TRANSFORMER

// What stands where a creator was unregistered: it makes nothing.
class null_creator : public field_transformer_base::creator {
public:
    explicit null_creator(const std::string& typeName) : field_transformer_base::creator(typeName) {}
    // Always empty.
    pointer<field_transformer_base> create(const TTables&, const field_transformer_base::args&) const override;
};

// One category of the registry: its transformer creators by type name and
// its args creator (empty until one is registered).
class transformer_category : public TNamed {
public:
    explicit transformer_category(const std::string& name);

    TPtrCollection& creators() { return m_creators; }
    const TPtrCollection& creators() const { return m_creators; }
    const pointer<field_transformer_base::args::creator>& argsCreator() const { return m_argsCreator; }
    void argsCreator(const pointer<field_transformer_base::args::creator>& c) { m_argsCreator = c; }

    // The creators' error handlers: "Index <i> out of bounds" and
    // "Creator <name> doesn't exist", both runtime errors.
    static void badIndex(unsigned i);
    static void badKey(const std::string& name);

private:
    TPtrCollection m_creators;
    pointer<field_transformer_base::args::creator> m_argsCreator;
};

// The registry. Every operation first finds the named category, creating an
// empty one when it is absent, so even a failing lookup leaves the category
// behind. All failures are runtime errors (see each operation).
class field_transformer_manager {
public:
    // The categories by name; "Index <i> out of bounds" and "Category <name>
    // doesn't exist" for bad positions and names (which the registry's own
    // operations never cause).
    class CImpl;

    // The process-wide registry, built on first call (see the top of this
    // file for its lifetime).
    static field_transformer_manager& instance();
    // Destroys the process-wide registry if it is built; the next instance()
    // builds a new, empty one. Run at unload; callable earlier by a host.
    static void destroyInstance();
    // True while the registry build `generation` of instance() stands at
    // `registry`. Registration objects ask this before unregistering.
    static bool isLive(const field_transformer_manager* registry, unsigned generation);
    // The generation number of the registry instance() last built.
    static unsigned generation();

    field_transformer_manager();
    ~field_transformer_manager();  // clear()

    // Releases every creator while the categories still stand, then the
    // whole collection.
    void clear();
    // The number of categories, including those left by failed lookups; 0
    // after clear().
    unsigned categoryCount() const;

    // Adds `c` under its name (its type name) in category `cat`.
    // "Creator <cat> for type <type> already exists" when that type already
    // has an entry (also a null_creator left by an unregistration); an empty
    // `c` raises null_pointer. The registry is unchanged on error.
    void registerTransformerCreator(const std::string& cat, const pointer<field_transformer_base::creator>& c);
    // Replaces the entry by a null_creator of the same name; nothing when
    // there is none.
    void unregisterTransformerCreator(const std::string& cat, const std::string& type);
    // Sets (or replaces, without error) the category's args creator.
    void registerArgsCreator(const std::string& cat, const pointer<field_transformer_base::args::creator>& c);
    // Empties the category's args creator.
    void unregisterArgsCreator(const std::string& cat);

    // The entry for `type` in `cat`, perhaps a null_creator;
    // " cannot create transformer (category: <cat> , type <type>)" when the
    // category has no such entry. The reference lasts until that entry is
    // unregistered or the registry cleared.
    const field_transformer_base::creator& transformerCreator(const std::string& cat,
                                                              const std::string& type) const;

    // A transformer for the field `name` of `fields` from the category of
    // `a`, made for the table set `tables`. The structure's unknown-name
    // error for a missing field; " cannot create transformer (category: <cat>
    // , type <type>)" when there is no creator or it makes nothing.
    pointer<field_transformer_base> createTransformer(const TFields& fields, const std::string& name,
                                                      const TTables& tables,
                                                      const field_transformer_base::args& a) const;

    // Arguments of category `cat` read from `in` (binary form when `binary`).
    // " cannot create transformer args (category: <cat>)" when the category
    // has no args creator. Stream failures are left for the caller.
    pointer<field_transformer_base::args> createArgs(const std::string& cat, std::istream& in,
                                                     bool binary) const;

private:
    field_transformer_manager(const field_transformer_manager&) = delete;
    field_transformer_manager& operator=(const field_transformer_manager&) = delete;

    // Find-or-create.
    transformer_category& category(const std::string& cat) const;

    mutable std::unique_ptr<CImpl> m_pImpl;
};

}  // namespace Orvex
