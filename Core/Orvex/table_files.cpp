#include "Core/Orvex/table_files.h"

namespace Orvex {

namespace {
const char kBinaryStructure[] = ".dsb";
const char kTextStructure[] = ".dst";
const char kBinaryTransformers[] = ".trb";
const char kTextTransformers[] = ".trt";
const char kContents[] = ".bin";
const std::string::size_type kExtensionLength = 4;
}  // namespace

const char* const kTableListFileName = "tables.lst";
const char* const kTemporaryTableName = "temp";
const char* const kStripJournalName = "temp.jnl";

std::string structureFileName(const std::string& table, bool binDesc) {
    return table + (binDesc ? kBinaryStructure : kTextStructure);
}

std::string transformerFileName(const std::string& table, bool binDesc) {
    return table + (binDesc ? kBinaryTransformers : kTextTransformers);
}

std::string contentsFileName(const std::string& table) { return table + kContents; }

std::vector<std::string> tableFileNames(const std::string& table, bool binDesc) {
    return {structureFileName(table, binDesc), transformerFileName(table, binDesc), contentsFileName(table)};
}

bool isStructureFile(const std::string& file, std::string& table, bool& binDesc) {
    if (file.size() <= kExtensionLength) return false;
    const std::string extension = file.substr(file.size() - kExtensionLength);
    if (extension != kBinaryStructure && extension != kTextStructure) return false;
    table = file.substr(0, file.size() - kExtensionLength);
    binDesc = extension == kBinaryStructure;
    return true;
}

const std::vector<std::string>& temporaryFileNames() {
    static const std::vector<std::string> names = {
        structureFileName(kTemporaryTableName, false), structureFileName(kTemporaryTableName, true),
        transformerFileName(kTemporaryTableName, false), transformerFileName(kTemporaryTableName, true),
        contentsFileName(kTemporaryTableName)};
    return names;
}

}  // namespace Orvex
