// The reference fixer: gives a record-number field ("u_long") exactly the
// width that record numbers of the table it points into need.
//
// A client attaches ref_fixer_args (category "sizeForRef") naming the
// referenced table; stripping re-declares the field with
// Tools::log2(record count of that table) bits, whatever values the records
// hold. The count is taken when the new structure is built, so a table that
// refers to one stripped before it sees that table's count at that moment.
// In a transformer file an entry is the field position, "sizeForRef" and the
// table name (one string token, or one serial string).
#pragma once

#include <string>

#include "Core/Orvex/Trans.h"
#include "Core/Orvex/__field.h"

namespace Orvex {

class TTable;

class ref_fixer_args : public field_transformer_base::args {
public:
    explicit ref_fixer_args(const std::string& table) : m_table(table) {}

    static const char* getCategory() { return "sizeForRef"; }
    std::string category() const override { return getCategory(); }
    // The table name as one string token / one serial string.
    void to_stream(std::ostream& os) const override;
    void serial_write(std::ostream& os) const override;

    const std::string& table() const { return m_table; }

private:
    std::string m_table;
};

class ref_fixer : public field_transformer<unsigned long> {
public:
    // `table` belongs to the set being stripped, which outlives the fixer.
    explicit ref_fixer(const TTable& table) : m_table(table) {}

    void reset(const TFieldInfo& field) override { field_transformer<unsigned long>::reset(field); }
    void do_onChange(const unsigned long&) override {}
    // Opens the referenced table (keeping its contents) and appends a
    // "u_long" field of the old name, log2(its size) bits wide, carrying the
    // old field's arguments.
    void do_addToFields(TFields& fields, const TField<unsigned long>& field) const override;

    // Registers a ref_fixer_creator under "sizeForRef" while the library is loaded.
    static field_transformer_base::registration s_registration;

private:
    const TTable& m_table;
};

// Makes a ref_fixer on the table its arguments name ("Table <name> doesn't
// exists" when the set has none of that name).
class ref_fixer_creator : public field_transformer_base::creator {
public:
    ref_fixer_creator() : field_transformer_base::creator(field_transformer<unsigned long>::typeName()) {}
    pointer<field_transformer_base> create(const TTables& tables, const field_transformer_base::args& a) const override;
};

class ref_fixer_args_creator : public field_transformer_base::args::creator {
public:
    pointer<field_transformer_base::args> create(std::istream& in) const override;
    pointer<field_transformer_base::args> create(serial::serial_in& in) const override;
};

}  // namespace Orvex
