// Catalogs written by earlier versions: which stored versions an open accepts, and the upgrade
// an exclusive open runs on the older ones.
//
// The upgrade and the first-open initialisation (firstopen.h) are one engine transaction under
// the exclusive open, and version 12 is the last write of it: a process killed at any moment
// leaves the old version in place, which the next exclusive open upgrades again, never a half
// upgraded catalog. Version 5's new dictionary and key rebuild are the engine's own in-place
// migration followed by its key rebuild: no template is written over the catalog file (on this
// engine the file is the whole database), catdbu's key-rebuild routine is not loaded, and the
// network library's transactional-file flag has no counterpart on this platform. Checksums are
// recomputed for every version below 12, their optional keys deleted before they are stored
// again.
#pragma once

#include <cstdint>

#include "board.h"

namespace catstore {

enum class VersionTreatment { Open, Upgrade, Refuse };

// What an open in nOpenMode (0 one-user, 1 shared, 2 exclusive) does with a stored board
// version: 0 and 12 open as they are, 5, 7, 9 and 11 are upgraded by an exclusive open only,
// anything else is refused. fOlderDictionary: the engine found the older dictionary, which
// only a version-5 catalog may have.
VersionTreatment TreatBoardVersion(uint16_t wVersion, int nOpenMode, bool fOlderDictionary);

// Brings the catalog of an exclusive open from wVersion up to 12 and makes what the first open
// of an upgraded catalog must make, in one transaction. On failure nothing is changed.
DBStatus UpgradeCatalog(BOARD_OBJECT* hbrd, uint16_t wVersion);

// The upgrade steps, inside the caller's transaction (or each in its own).
// Attachment name, repository location and folder location checksums from the stored texts,
// with the attachments' optional keys stored anew.
DBStatus UpgradeCRCValues(CDbContext* pdb);
// Each change entry gets the access of its item (level 1 when the item is gone).
DBStatus UpgradeChangeEntries(CDbContext* pdb);

}  // namespace catstore
