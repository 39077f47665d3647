#include "Core/Orvex/Reffixer.h"

#include "Core/Orvex/__table.h"
#include "support/Tools.h"
#include "support/serial.h"
#include "support/tabulation.h"

namespace Orvex {

void ref_fixer_args::to_stream(std::ostream& os) const { tabulation::to_stream(os, m_table); }

void ref_fixer_args::serial_write(std::ostream& os) const { serial::serial_write(os, m_table); }

void ref_fixer::do_addToFields(TFields& fields, const TField<unsigned long>& field) const {
    TOpenTable referenced(m_table, false);
    TField<unsigned long> resized(field.name(), Tools::log2(referenced.size()));
    resized.transformer(field.transformer());
    fields += resized;
}

pointer<field_transformer_base> ref_fixer_creator::create(const TTables& tables,
                                                          const field_transformer_base::args& a) const {
    const ref_fixer_args& args = static_cast<const ref_fixer_args&>(a);
    return pointer<field_transformer_base>(new ref_fixer(tables[args.table()]));
}

pointer<field_transformer_base::args> ref_fixer_args_creator::create(std::istream& in) const {
    std::string table;
    tabulation::from_stream(in, table);
    return pointer<field_transformer_base::args>(new ref_fixer_args(table));
}

pointer<field_transformer_base::args> ref_fixer_args_creator::create(serial::serial_in& in) const {
    std::string table;
    in >> table;
    return pointer<field_transformer_base::args>(new ref_fixer_args(table));
}

namespace {
// Made before, and so destroyed after, the transformer registration below.
field_transformer_base::args::registration s_argsRegistration(
    ref_fixer_args::getCategory(), pointer<field_transformer_base::args::creator>(new ref_fixer_args_creator));
}  // namespace

field_transformer_base::registration ref_fixer::s_registration(
    ref_fixer_args::getCategory(), pointer<field_transformer_base::creator>(new ref_fixer_creator));

}  // namespace Orvex
