#pragma once
// dBASE tables (".dbf": dBASE III and IV, FoxBase, FoxPro, Visual FoxPro):
// the field descriptors and the records, every value as text. Memo, general
// and picture fields live in a separate file and are shown by their kind.
//
// Layout, little-endian:
//   header        32 bytes: version, last update (YY MM DD), u32 record count,
//                 u16 header length, u16 record length
//   descriptors   32 bytes each up to a 0x0D byte: name (11 bytes, NUL-padded),
//                 type letter, 4 bytes, length, decimals
//   records       from the header length on, record length bytes each: a
//                 deletion flag ('*' deleted, ' ' live), then the fields in
//                 order

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/Bytes.h"

namespace dravik::preview {

struct DbfField {
  std::string name;
  char type = 'C';
  std::uint8_t length = 0;
  std::uint8_t decimals = 0;
  // From the start of the record, the deletion flag being byte 0.
  std::size_t offset = 0;
};

// The records are kept as the file's bytes and turned into text when asked,
// so a table of many small values costs no more than its file.
class DbfTable {
 public:
  DbfTable(std::vector<DbfField> fields, std::size_t recordLength, std::vector<std::uint8_t> records);
  const std::vector<DbfField>& Fields() const { return fields_; }
  std::size_t RecordCount() const { return recordCount_; }
  bool Deleted(std::size_t record) const;
  // The value of a field as text, trimmed; empty outside the table.
  std::string Text(std::size_t record, std::size_t field) const;

 private:
  std::vector<DbfField> fields_;
  std::size_t recordLength_;
  std::size_t recordCount_;
  std::vector<std::uint8_t> records_;
};

struct DbfRead {
  std::optional<DbfTable> table;
  // Why there is no table.
  std::string error;
};

// Reads as many whole records as the header claims and the file holds.
DbfRead ReadDbf(Bytes file);

// The text of one field's bytes.
std::string DbfValueText(char type, Bytes raw);

}  // namespace dravik::preview
