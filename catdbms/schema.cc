// The catalog's SQL form, derived from the dictionary: table and column names, the DDL of a new
// catalog, key values and the order keys of set memberships.
#include <cstring>

#include "catdbms/schemasql.h"

namespace qn::dbms {

namespace {

const char* KindName(FieldKind kind) {
    switch (kind) {
        case FieldKind::U8:
            return "u8";
        case FieldKind::U16:
            return "u16";
        case FieldKind::I16:
            return "i16";
        case FieldKind::U32:
            return "u32";
        case FieldKind::ADDR:
            return "dba";
        case FieldKind::STR:
            return "str";
        case FieldKind::BYTES:
            return "bytes";
        case FieldKind::GROUP:
            return "group";
        case FieldKind::COMPOUND:
            return "compound";
    }
    return "?";
}

}  // namespace

std::string Lower(const char* s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

std::string Quote(const std::string& ident) {
    return "\"" + ident + "\"";
}

const std::vector<Column>& Columns(int recordCode) {
    static const std::vector<std::vector<Column>> all = [] {
        std::vector<std::vector<Column>> v(kRecordCount);
        for (const FieldDef& f : kFields) {
            std::vector<Column>& cols = v[size_t(f.record - kRecordBase)];
            if (f.kind == FieldKind::COMPOUND)
                continue;
            if (f.kind == FieldKind::GROUP && f.count == 1)
                continue;  // members are the columns
            if (f.parent != 0) {
                const FieldDef* parent = FindField(f.parent);
                if (parent != nullptr && parent->count > 1)
                    continue;  // inside an array blob
            }
            cols.push_back({&f, f.count > 1});
        }
        return v;
    }();
    return all[size_t(recordCode - kRecordBase)];
}

int64_t ReadScalar(const FieldDef& f, const uint8_t* p) {
    switch (f.kind) {
        case FieldKind::U8:
            return *p;
        case FieldKind::U16: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case FieldKind::I16: {
            int16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        default: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
    }
}

void WriteScalar(const FieldDef& f, int64_t value, uint8_t* p) {
    switch (f.kind) {
        case FieldKind::U8:
            *p = uint8_t(value);
            break;
        case FieldKind::U16: {
            uint16_t v = uint16_t(value);
            std::memcpy(p, &v, 2);
            break;
        }
        case FieldKind::I16: {
            int16_t v = int16_t(value);
            std::memcpy(p, &v, 2);
            break;
        }
        default: {
            uint32_t v = uint32_t(value);
            std::memcpy(p, &v, 4);
            break;
        }
    }
}

// Column names of a key's index or entry table.
std::vector<std::string> KeyColumns(const FieldDef& key) {
    std::vector<std::string> cols;
    for (const FieldDef* c : KeyComponents(key))
        cols.push_back(Quote(Lower(c->name)));
    return cols;
}

std::string Join(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += sep;
        out += parts[i];
    }
    return out;
}

std::string KeyTable(const FieldDef& key) {
    return "key_" + Lower(key.name);
}

// ---- Keys and order keys -----------------------------------------------------------------------

const std::vector<const FieldDef*>& KeyComponents(const FieldDef& key) {
    static const std::vector<std::vector<const FieldDef*>> table = [] {
        std::vector<std::vector<const FieldDef*>> t(kFieldCount);
        for (int i = 0; i < kFieldCount; ++i) {
            const FieldDef& k = kFields[i];
            std::vector<const FieldDef*>& out = t[size_t(i)];
            if (k.kind == FieldKind::COMPOUND) {
                out.push_back(FindField(k.first));
                out.push_back(FindField(k.second));
            } else if (k.kind == FieldKind::GROUP) {
                for (const FieldDef& f : kFields)
                    if (f.parent == k.code)
                        out.push_back(&f);
            } else {
                out.push_back(&k);
            }
            if (k.key != KeyKind::NOKEY && out.size() > kMaxKeyParts)
                std::abort();  // schema error
        }
        return t;
    }();
    return table[size_t(&key - kFields)];
}

namespace {
KeyPart PartFrom(const FieldDef& f, const uint8_t* p) {
    KeyPart part;
    if (f.kind == FieldKind::STR) {
        part.text = true;
        part.bytes.assign(reinterpret_cast<const char*>(p),
                          strnlen(reinterpret_cast<const char*>(p), f.size));
    } else if (f.kind == FieldKind::BYTES) {
        part.text = true;
        part.bytes.assign(reinterpret_cast<const char*>(p), f.size);
    } else {
        part.number = ReadScalar(f, p);
    }
    return part;
}
}  // namespace

KeyValue KeyFromValue(const FieldDef& key, const void* value) {
    KeyValue kv;
    const uint8_t* p = static_cast<const uint8_t*>(value);
    size_t off = 0;
    for (const FieldDef* c : KeyComponents(key)) {
        kv.push_back(PartFrom(*c, p + off));
        off += c->size;
    }
    return kv;
}

KeyValue KeyFromRecord(const FieldDef& key, const void* record) {
    KeyValue kv;
    const uint8_t* p = static_cast<const uint8_t*>(record);
    for (const FieldDef* c : KeyComponents(key))
        kv.push_back(PartFrom(*c, p + c->offset));
    return kv;
}

void KeyToValue(const FieldDef& key, const KeyValue& kv, void* value) {
    uint8_t* p = static_cast<uint8_t*>(value);
    size_t off = 0, i = 0;
    for (const FieldDef* c : KeyComponents(key)) {
        if (i < kv.size()) {
            if (c->kind == FieldKind::STR || c->kind == FieldKind::BYTES) {
                std::memset(p + off, 0, c->size);
                std::memcpy(p + off, kv[i].bytes.data(),
                            std::min<size_t>(kv[i].bytes.size(), c->size));
            } else {
                WriteScalar(*c, kv[i].number, p + off);
            }
        }
        off += c->size;
        ++i;
    }
}

std::string OrderKeyAscending(const char* field, size_t size, DBA member) {
    const size_t n = strnlen(field, size);
    std::string ord;
    ord.reserve(2 * n + 6);
    for (size_t i = 0; i < n; ++i) {
        char c = field[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        ord.push_back(c == 0 ? char(1) : c);
    }
    ord.push_back('\0');
    ord.append(field, n);
    ord.push_back('\0');
    for (int shift = 24; shift >= 0; shift -= 8)
        ord.push_back(char((member >> shift) & 0xFF));
    return ord;
}

std::string OrderKeyPosition(uint64_t position) {
    std::string ord(8, '\0');
    for (int i = 0; i < 8; ++i)
        ord[size_t(i)] = char((position >> (56 - 8 * i)) & 0xFF);
    return ord;
}

uint64_t OrderKeyPositionValue(const std::string& ord) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8 && i < ord.size(); ++i)
        v = (v << 8) | uint8_t(ord[i]);
    return v;
}

// ---- Schema ------------------------------------------------------------------------------------

std::string RecordTable(int recordCode) {
    return Lower(FindRecord(recordCode)->name) == "system" ? "db_system"
                                                           : Lower(FindRecord(recordCode)->name);
}

std::vector<std::string> CatalogSchemaSql(bool autoincrementSlots) {
    std::vector<std::string> sql;
    sql.push_back("CREATE TABLE dbms_info(key TEXT PRIMARY KEY, value) WITHOUT ROWID");
    sql.push_back(std::string("INSERT INTO dbms_info VALUES('version','") + kDictionaryVersion +
                  "')");
    sql.push_back("INSERT INTO dbms_info VALUES('stamp',0)");
    sql.push_back("INSERT INTO dbms_info VALUES('pagesize',4096)");
    sql.push_back(
        "CREATE TABLE dbms_records(code INTEGER PRIMARY KEY, name TEXT NOT NULL, file TEXT, size "
        "INTEGER, "
        "stamped INTEGER)");
    sql.push_back(
        "CREATE TABLE dbms_fields(code INTEGER PRIMARY KEY, name TEXT NOT NULL, record INTEGER, "
        "kind TEXT, "
        "keytype INTEGER, offset INTEGER, size INTEGER, count INTEGER, parent INTEGER, first "
        "INTEGER, second "
        "INTEGER)");
    sql.push_back(
        "CREATE TABLE dbms_sets(code INTEGER PRIMARY KEY, name TEXT NOT NULL, owner INTEGER, "
        "ordering INTEGER, "
        "sortfield INTEGER)");
    sql.push_back(
        "CREATE TABLE dbms_setmembers(setcode INTEGER, member INTEGER, PRIMARY KEY(setcode, "
        "member))");
    for (const RecordDef& r : kRecords) {
        sql.push_back("INSERT INTO dbms_records VALUES(" + std::to_string(r.code) + ",'" + r.name +
                      "','" + r.file + "'," + std::to_string(r.size) + "," +
                      (r.stamped ? "1" : "0") + ")");
    }
    for (const FieldDef& f : kFields) {
        sql.push_back("INSERT INTO dbms_fields VALUES(" + std::to_string(f.code) + ",'" + f.name +
                      "'," + std::to_string(f.record) + ",'" + KindName(f.kind) + "'," +
                      std::to_string(int(f.key)) + "," + std::to_string(f.offset) + "," +
                      std::to_string(f.size) + "," + std::to_string(f.count) + "," +
                      std::to_string(f.parent) + "," + std::to_string(f.first) + "," +
                      std::to_string(f.second) + ")");
    }
    for (const SetDef& s : kSets) {
        sql.push_back("INSERT INTO dbms_sets VALUES(" + std::to_string(s.code) + ",'" + s.name +
                      "'," + std::to_string(s.owner) + "," + std::to_string(int(s.order)) + "," +
                      std::to_string(s.sortField) + ")");
    }
    for (const SetMemberDef& m : kSetMembers) {
        sql.push_back("INSERT INTO dbms_setmembers VALUES(" + std::to_string(m.set) + "," +
                      std::to_string(m.member) + ")");
    }
    for (const RecordDef& r : kRecords) {
        std::string ddl = "CREATE TABLE " + RecordTable(r.code) + "(slot INTEGER PRIMARY KEY" +
                          (autoincrementSlots ? " AUTOINCREMENT" : "") +
                          ", stamp INTEGER NOT NULL DEFAULT 0";
        for (const Column& c : Columns(r.code)) {
            const char* type = c.blob || c.field->kind == FieldKind::BYTES ? "BLOB"
                               : c.field->kind == FieldKind::STR           ? "TEXT"
                                                                           : "INTEGER";
            ddl += ", " + Quote(Lower(c.field->name)) + " " + type + " NOT NULL";
        }
        ddl += ")";
        sql.push_back(ddl);
    }
    for (const FieldDef& f : kFields) {
        if (f.key == KeyKind::NOKEY)
            continue;
        const std::string table = RecordTable(f.record);
        const std::string cols = Join(KeyColumns(f), ", ");
        if (f.key == KeyKind::UNIQUE) {
            sql.push_back("CREATE UNIQUE INDEX " + KeyTable(f) + " ON " + table + "(" + cols + ")");
        } else if (f.key == KeyKind::DUPKEY) {
            sql.push_back("CREATE INDEX " + KeyTable(f) + " ON " + table + "(" + cols + ", slot)");
        } else {
            std::string ddl = "CREATE TABLE " + KeyTable(f) + "(";
            for (const FieldDef* c : KeyComponents(f))
                ddl += Quote(Lower(c->name)) + " INTEGER NOT NULL, ";
            ddl += "dba INTEGER NOT NULL, PRIMARY KEY(" + cols + ", dba)) WITHOUT ROWID";
            sql.push_back(ddl);
            sql.push_back("CREATE INDEX " + KeyTable(f) + "_dba ON " + KeyTable(f) + "(dba)");
        }
    }
    sql.push_back(
        "CREATE TABLE dbms_member(setcode INTEGER NOT NULL, owner INTEGER NOT NULL, member INTEGER "
        "NOT NULL, "
        "ord BLOB NOT NULL, PRIMARY KEY(setcode, member)) WITHOUT ROWID");
    sql.push_back("CREATE UNIQUE INDEX dbms_member_order ON dbms_member(setcode, owner, ord)");
    sql.push_back(
        "CREATE TABLE dbms_owner(setcode INTEGER NOT NULL, owner INTEGER NOT NULL, members INTEGER "
        "NOT NULL, "
        "PRIMARY KEY(setcode, owner)) WITHOUT ROWID");
    sql.push_back("INSERT INTO db_system(stamp) VALUES(0)");
    return sql;
}

}  // namespace qn::dbms
