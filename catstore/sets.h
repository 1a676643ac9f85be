// Set helpers of the store routines: the members of a set, the owner of a member, the records at
// the far end of link records, and deleting a list of records. They run under the caller's lock
// packet and move the engine's currency.
#pragma once

#include <cstdint>
#include <vector>

#include "engine.h"

namespace catstore {

// Disconnects and deletes each record; stops at the first failure.
DBStatus DeleteRecords(CDbContext* pdb, const std::vector<DBA>& records);

// The members of a set owned by dbaOwner (0: the system record), in set order. DBDeleted when
// the owner is gone, DBSetScanEnded when the walk breaks off (DBOutOfMemory when for want of
// memory).
DBStatus CollectMembers(CDbContext* pdb, int32_t nSet, DBA dbaOwner, std::vector<DBA>* pMembers);

// The owner, in nSet, of the record at dbaMember.
DBStatus OwnerOf(CDbContext* pdb, int32_t nSet, DBA dbaMember, DBA* pdbaOwner);

// The records at the other end of the link records a user or group owns (its groups, or a
// group's users): the owner of each link in nOtherSet. Stops at the first link that cannot be
// followed and returns why.
DBStatus CollectLinked(CDbContext* pdb, int32_t nLinkSet, DBA dbaFrom, int32_t nOtherSet,
                       std::vector<DBA>* pRecords);

}  // namespace catstore
