// The maintenance program's own texts (its string table) and its version.
#pragma once

#include <cstdint>
#include <string>

namespace qn::maint {

enum StringId : unsigned {
    IDS_ABOUT = 101,
    IDS_COMMAND_PROGRESS = 102,
    IDS_PERFORMING_BACKUP = 103,
    IDS_PERFORMING_RESTORE = 104,
    IDS_CHECKING_INTEGRITY = 105,
    IDS_CATALOG_NOT_FOUND = 106,
    IDS_CANNOT_CREATE_BACKUP_DIR = 107,
    IDS_VERSION = 108,
    IDS_HELP_FILE = 109,
    IDS_BACKUP_OK = 110,
    IDS_BACKUP_FAILED = 111,
    IDS_RESTORE_OK = 112,
    IDS_RESTORE_FAILED = 113,
    IDS_NO_PROBLEMS = 114,
    IDS_ERRORS_CORRECTED = 115,
    IDS_ERRORS_NOT_REPAIRED = 116,
    IDS_BACKUP_REFUSED_CORRUPT = 117,
    IDS_VIEW_LOG_COMMAND = 118,
    IDS_DEFAULT_CATALOG = 119,
    IDS_UNEXPECTED_ERROR = 120,
    IDS_CATALOG_IN_USE = 121,
    IDS_NO_BACKUP = 122,
    IDS_PRODUCT_NAME = 31000,
    IDS_PROGRAM_TITLE = 57344,
};

// The program's version text.
inline constexpr const char* kVersionText = "2.00.72";

// The text of a string resource; "" for an id the table does not have.
const char* LoadResourceString(unsigned nId);
// The text with "%1" replaced by strArgument.
std::string FormatResource(unsigned nId, const std::string& strArgument);
// The unexpected-error text for a status: resource 120 with the status text of its low 16 bits.
std::string UnexpectedErrorText(uint32_t dwStatus);

}  // namespace qn::maint
