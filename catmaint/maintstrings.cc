#include <cstdint>
#include <cstdio>
#include <cstring>

#include "foundation/status.h"
#include "maintstrings.h"

namespace qn::maint {

const char* LoadResourceString(unsigned nId) {
    switch (nId) {
        case IDS_ABOUT:
            return "&About...";
        case IDS_COMMAND_PROGRESS:
            return "Command Progress:";
        case IDS_PERFORMING_BACKUP:
            return "Performing Catalog Backup:";
        case IDS_PERFORMING_RESTORE:
            return "Performing Catalog Restore:";
        case IDS_CHECKING_INTEGRITY:
            return "Checking Catalog Integrity:";
        case IDS_CATALOG_NOT_FOUND:
            return "Unable to locate Zelto Catalog.";
        case IDS_CANNOT_CREATE_BACKUP_DIR:
            return "Unable to create backup directory %1";
        case IDS_VERSION:
            return "Version: %1";
        case IDS_HELP_FILE:
            return "CATMAINT.HLP";
        case IDS_BACKUP_OK:
            return "Catalog backup completed successfully.";
        case IDS_BACKUP_FAILED:
            return "Catalog backup failed.  See the log file for more information.";
        case IDS_RESTORE_OK:
            return "Catalog restore completed successfully.";
        case IDS_RESTORE_FAILED:
            return "Catalog restore failed.  See the log file for more information.";
        case IDS_NO_PROBLEMS:
            return "No problems were detected.";
        case IDS_ERRORS_CORRECTED:
            return "Errors were found and corrected.  See the log file for details.";
        case IDS_ERRORS_NOT_REPAIRED:
            return "Errors have been detected that were not repaired.  See the log file for more "
                   "information.";
        case IDS_BACKUP_REFUSED_CORRUPT:
            return "Catalog backup cannot be performed because unrecoverable errors have been "
                   "detected.  See the log file for more information.";
        case IDS_VIEW_LOG_COMMAND:
            // The desktop's plain text viewer on the system the texts were written for; this
            // program shows the log in its own viewer.
            return "notepad %1";
        case IDS_DEFAULT_CATALOG:
            return "vfc/catalog.vfc";
        case IDS_UNEXPECTED_ERROR:
            return "Unexpected error detected (%s).  Please contact Customer Support.";
        case IDS_CATALOG_IN_USE:
            return "This operation cannot be performed because the catalog is in use.";
        case IDS_NO_BACKUP:
            return "There is no backup to restore: %1 does not exist.";
        case IDS_PRODUCT_NAME:
            return "Zelto Bookmarks";
        case IDS_PROGRAM_TITLE:
            return "Zelto Catalog Maintenance";
        default:
            return "";
    }
}

namespace {

// The text with its first occurrence of pszMarker replaced by strArgument.
std::string Substitute(const char* pszText, const char* pszMarker, const std::string& strArgument) {
    const char* pszAt = std::strstr(pszText, pszMarker);
    if (pszAt == nullptr) {
        return pszText;
    }
    const size_t cchBefore = static_cast<size_t>(pszAt - pszText);
    std::string strResult;
    strResult.reserve(std::strlen(pszText) + strArgument.size());
    strResult.append(pszText, cchBefore);
    strResult.append(strArgument);
    strResult.append(pszAt + std::strlen(pszMarker));
    return strResult;
}

}  // namespace

std::string FormatResource(unsigned nId, const std::string& strArgument) {
    return Substitute(LoadResourceString(nId), "%1", strArgument);
}

std::string UnexpectedErrorText(uint32_t dwStatus) {
    const char* pszStatus = QNStatusText(dwStatus & 0xFFFFu);
    char szNumber[32];
    if (pszStatus == nullptr) {
        std::snprintf(szNumber, sizeof szNumber, "status %u", static_cast<unsigned>(dwStatus));
        pszStatus = szNumber;
    }
    return Substitute(LoadResourceString(IDS_UNEXPECTED_ERROR), "%s", pszStatus);
}

}  // namespace qn::maint
