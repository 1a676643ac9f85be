// Status codes of the catalog store and their texts.
//
// EXSM_STATUS (include/exsmstatus.h) is what every exported catalog operation reports. Below the
// exported interface the store works with the 16-bit database-layer status DBStatus (0 to 58),
// turned into an EXSM_STATUS by one fixed table that catstore and catmaint share.
#pragma once

#include <cstdint>
#include <string>

#include "exsmstatus.h"

using DBStatus = uint16_t;

inline constexpr DBStatus DBSuccess = 0;
inline constexpr DBStatus DBRecordModified = 34;
// Number of database-layer statuses; a value of NUM_DBERRORS or more is outside the table.
inline constexpr unsigned NUM_DBERRORS = 59;
// Number of EXSM_STATUS values that have a display text.
inline constexpr unsigned NUM_EXSM_TEXTS = EXSM_NUM_STATUS_TEXTS;

// The display text of a status, found by its low 16 bits ("Successful" for 0, "Lock Error" for
// 10, ...); nullptr when the low 16 bits exceed 30.
const char* QNStatusText(uint32_t status);

// The EXSM_STATUS that a database-layer status maps to. A value of NUM_DBERRORS or more is
// outside the table: it gives EXSM_INTERNAL_ERROR (and never reads past the table).
EXSM_STATUS QNMapDBStatusValue(unsigned dbStatus);

// Stores the mapped EXSM_STATUS of dbStatus into *pStatus when it is not EXSM_SUCCESS; a value
// that maps to EXSM_SUCCESS (0, 18, 54) leaves *pStatus as it was. A value of NUM_DBERRORS or
// more fires the assertion "DBStatus < NUM_DBERRORS" in source module pszModule and stores
// EXSM_INTERNAL_ERROR. pStatus may be null (nothing is stored).
void QNMapDBStatus(unsigned dbStatus, EXSM_STATUS* pStatus, const char* pszModule = ".\\EXSM");

// The unexpected-error format that programs show a status with, and the text made from it:
// "Unexpected error detected (Lock Error).  Please contact Customer Support."
inline constexpr const char* QN_UNEXPECTED_ERROR_FORMAT =
    "Unexpected error detected (%s).  Please contact Customer Support.";
std::string QNUnexpectedErrorText(uint32_t status);
