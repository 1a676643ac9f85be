// Variable strings: a DB_VARSTRINGREC header owning, through DBS_VARSTRING, a chain of chunk
// records (256-byte DB_LARGEDATA, 129-255-byte DB_LARGEVAR, 64-byte DB_SMALLDATA and a last
// 1-63-byte DB_SMALLVAR). An empty value has no header: the owner's field holds 0.
//
// The routines run inside the caller's lock packet and transaction.
#pragma once

#include <cstdint>
#include <string>

#include "engine.h"

namespace catstore {

// Kinds written into VARSTRINGKIND.
enum VarStringKind : uint8_t {
    VSK_ITEMNOTE = 1,
    VSK_EXTENDEDINFO = 2,
    VSK_INSTRUCTIONS = 3,
    VSK_KEYWORDS = 4,
    VSK_SUBSCRIBERS = 5,
    VSK_REPOSLOCATION = 6,
    VSK_REPOSPOLICY = 7,
    VSK_REPOSPRIVATE = 8,
    VSK_ITEMREFDATA = 9,
    VSK_USERSHADOW = 10,
    VSK_GROUPSHADOW = 11,
    VSK_CHANGEDATA = 12,
    VSK_RESOURCELOCALPATH = 13,
};

// The in-memory holder of one variable field.
struct VarStringHolder {
    DBA dba = 0;         // header address; 0 = empty
    uint64_t stamp = 0;  // header stamp; 0 = not yet known
    std::string value;
};

// Brings the holder's value up to date (no chunk is read while the header's stamp is
// unchanged). DBDeleted when the header is gone, DBUnexpectedRecordType when the address holds
// another record type.
DBStatus VarStringRead(VarStringHolder* pHolder, CDbContext* pdb);
// The stored length without reading chunks.
DBStatus VarStringLength(const VarStringHolder* pHolder, CDbContext* pdb, uint32_t* pcb);
// Makes the stored value equal to the holder's (DBRecordModified when the header changed since
// read).
DBStatus VarStringWrite(VarStringHolder* pHolder, CDbContext* pdb, uint8_t bKind);

// The chunk sizes a value of cb bytes is stored in (for tests and checks).
struct ChunkCounts {
    int nLargeData = 0, nLargeVar = 0, nSmallData = 0, nSmallVar = 0;
};
ChunkCounts ChunkLayout(size_t cb);

}  // namespace catstore
