// Field transformers: what a transformer, its arguments and their factories
// offer.
//
// NOTE: this is only the part that the field model needs to see (a field
// descriptor holds pointer<field_transformer_base::args>). The registry
// (field_transformer_manager, field_transformer<T>, the creators and the
// registration objects) is added to this unit later, by extending this
// header and adding Trans.cpp.
//
// This header must not include the field model: it only names TFieldInfo,
// TRecord and TFields, and Core/Orvex/__field.h includes it.
#pragma once

#include <iosfwd>
#include <string>

#include "support/jobject.h"

namespace Orvex {

class TFieldInfo;
class TRecord;
class TFields;

// A transformer: shown the value of one field in every record of a table,
// then appends the field's new descriptor to a new structure.
class field_transformer_base : public jobject {
public:
    // The arguments attached to a field: a category name and its parameters.
    class args : public jobject {
    public:
        class creator;       // factory of arguments of one category
        class registration;  // registers an args creator for its lifetime

        virtual ~args() {}
        virtual std::string category() const = 0;
        // The argument fields in binary / text form (the category name and
        // field index are written ahead of them by the table).
        virtual void serial_write(std::ostream&) const = 0;
        virtual void to_stream(std::ostream&) const = 0;
    };

    class creator;       // factory of transformers for one field type of one category
    class registration;  // registers a creator for its lifetime

    virtual ~field_transformer_base() {}
    // Prepares for a new pass over the records of the field's table.
    virtual void reset(const TFieldInfo& field) = 0;
    // Takes in the value of field `index` of `record`.
    virtual void onChange(TRecord& record, unsigned index) = 0;
    // Appends the transformed descriptor of `field` to `fields`.
    virtual void addToFields(TFields& fields, const TFieldInfo& field) const = 0;
};

}  // namespace Orvex
