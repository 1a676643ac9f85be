// The unique-id record (DB_UNIQUEIDSREC): the counters that user, group and resource ids are
// allocated from, and the create of a record under an allocated or wished id.
#pragma once

#include <cstdint>
#include <functional>

#include "engine.h"

namespace catstore {

// Kinds of id counters.
enum class IdKind { User, Group, Resource };

// Creates the unique-id record of a new catalog.
DBStatus CreateUniqueIds(CDbContext* pdb);

// Allocates cIds ids (the first wished: dwWish, 0 for any) from DB_UNIQUEIDSREC; runs inside the
// caller's transaction, or its own ("Unique IDs") when none is open.
DBStatus AllocateIds(CDbContext* pdb, IdKind kind, uint32_t cIds, uint32_t dwWish,
                     uint32_t* pdwFirst);

// Creates a record with the id *pdwId: a wished id (non-zero) raises the counter past it; 0
// takes the next free id (skipping ids that wished ids already took), storing it in the record
// through setId before each try.
DBStatus CreateWithId(CDbContext* pdb, IdKind kind, int32_t nRecType, void* pRecord,
                      uint32_t* pdwId, const std::function<void(uint32_t)>& setId);

}  // namespace catstore
