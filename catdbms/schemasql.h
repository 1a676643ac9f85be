// The catalog's SQL form, derived from the dictionary (schema.cc): how records map to table
// columns and how key values and order keys are made. Private to catdbms.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catdbms/catschema.h"
#include "catdbms/store.h"

namespace qn::dbms {

// A stored column of a record table.
struct Column {
    const FieldDef* field;
    bool blob;  // arrays and arrays of groups: raw bytes
};

// Columns of each record type, in field order.
const std::vector<Column>& Columns(int recordCode);
int64_t ReadScalar(const FieldDef& f, const uint8_t* p);
void WriteScalar(const FieldDef& f, int64_t value, uint8_t* p);
std::string Lower(const char* s);
std::string Quote(const std::string& ident);
// Quoted column names of a key's index or entry table.
std::vector<std::string> KeyColumns(const FieldDef& key);
std::string Join(const std::vector<std::string>& parts, const char* sep);

}  // namespace qn::dbms
