// Transformer arguments and what a transformer is, with nothing of the field
// model: a field descriptor holds its arguments through this header, and the
// registry and the transformer families (Core/Orvex/Trans.h and above) build
// on it. It depends on the support library only; the classes it names are
// declared, not included.
#pragma once

#include <iosfwd>
#include <string>

#include "support/jobject.h"
#include "support/pointer.h"

namespace serial {
class serial_in;
}

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

// Factory of arguments of one category, from their text or binary form.
// Stream failures are left in the stream for the caller to test.
class field_transformer_base::args::creator : public jobject {
public:
    virtual pointer<field_transformer_base::args> create(std::istream& in) const = 0;
    virtual pointer<field_transformer_base::args> create(serial::serial_in& in) const = 0;
    virtual ~creator() {}
};

}  // namespace Orvex
