// Stripping, the layer above tables: TTable::strip and TTables::strip
// (declared with the tables, defined in table_strip.cpp) hand the work to a
// table_stripping, which measures the records, builds the new structure,
// copies the records into the temporary table "temp" and swaps its files in,
// all as one change of the file set.
#pragma once

#include <vector>

#include "Core/Orvex/Trans.h"
#include "Core/Orvex/__table.h"

namespace Orvex {

// One strip of one table, run once. The table's own files are untouched
// until the swap; an error before it removes the temporary files, and on a
// file set with atomic changes any error undoes the whole strip.
class table_stripping {
public:
    table_stripping(TTable& table, TTables& tables, const pointer<Console::TProgress>& progress);
    void run();

    // Raises unless neither the table nor any table of `tables` is named
    // "temp", whose files the strip would overwrite.
    static void refuseTemporaryTable(const std::string& table, const TTables& tables);

private:
    // A transformer per field, all made before any is used, so a field that
    // can't be transformed stops the strip before a file is written.
    void makeTransformers();
    // Shows every record to every transformer; the record count.
    unsigned long measure();
    TFields newStructure() const;
    // Records of 0 bytes are never counted (TOpenTable::findSize), so a strip
    // that would make them out of records is refused before anything is
    // written.
    void refuseLosingRecords(const TFields& stripped, unsigned long count) const;
    // Files of the temporary table that are already there belong to someone
    // else (a host's files, or a strip cut off on a set without atomic
    // changes): the strip must not overwrite them.
    void refuseLeftovers() const;
    // Writes the temporary table, or removes what it wrote and raises.
    void writeTemporary(TTable& temporary, const TFields& stripped, unsigned long count);
    void writeTemporaryStructure(TTable& temporary, const TFields& stripped);
    void copyRecords(TTable& temporary, unsigned long count);
    // The structure file's bytes for `fields` in this table's form.
    std::string structureImage(const TFields& fields) const;
    // True when a rewrite would leave every file byte for byte as it is: the
    // structure file already holds the new structure, the contents file holds
    // exactly the counted records, and each record copies onto itself
    // (the copy's progress is reported once that is known). Reads the
    // records once.
    bool rewriteChangesNothing(const TFields& stripped, unsigned long count);

    TTable& m_table;
    TTables& m_tables;
    pointer<Console::TProgress> m_progress;
    const TFields m_old;
    std::vector<pointer<field_transformer_base> > m_transformers;
};

}  // namespace Orvex
