#include "foundation/qnstatus.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/status.h"
#include "foundation/syslog.h"
#include "qnplatform.h"

namespace {

constexpr unsigned kAssertBoxType = QN_MB_TASKMODAL | QN_MB_ICONSTOP | QN_MB_OKCANCEL;  // 0x2011

struct ResourceTables {
    std::mutex mutex;
    std::vector<std::pair<const QNSTRING_RESOURCE*, size_t>> tables;
};

ResourceTables& Resources() {
    static auto* pTables = new ResourceTables;
    return *pTables;
}

// Replaces the first "%s" (or "%1") with pszParam1 and the second ("%2") with pszParam2; other
// characters are kept, "%%" gives "%".
std::string FormatPrompt(const std::string& strFormat, const char* pszParam1,
                         const char* pszParam2) {
    std::string out;
    int nNext = 0;
    const char* rgParams[2] = {pszParam1, pszParam2};
    for (size_t i = 0; i < strFormat.size(); ++i) {
        char ch = strFormat[i];
        if (ch == '%' && i + 1 < strFormat.size()) {
            char chNext = strFormat[i + 1];
            if (chNext == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (chNext == 's' && nNext < 2) {
                const char* psz = rgParams[nNext++];
                out += psz ? psz : "";
                ++i;
                continue;
            }
            if (chNext == '1' || chNext == '2') {
                const char* psz = rgParams[chNext - '1'];
                out += psz ? psz : "";
                ++i;
                continue;
            }
        }
        out += ch;
    }
    return out;
}

}  // namespace

void QNRegisterStringResources(const QNSTRING_RESOURCE* pTable, size_t cEntries) {
    if (pTable == nullptr || cEntries == 0)
        return;
    ResourceTables& resources = Resources();
    std::lock_guard<std::mutex> lock(resources.mutex);
    resources.tables.emplace_back(pTable, cEntries);
}

std::string QNLoadString(uint32_t id) {
    {
        ResourceTables& resources = Resources();
        std::lock_guard<std::mutex> lock(resources.mutex);
        for (auto it = resources.tables.rbegin(); it != resources.tables.rend(); ++it) {
            for (size_t i = 0; i < it->second; ++i) {
                if (it->first[i].id == id && it->first[i].pszText != nullptr)
                    return it->first[i].pszText;
            }
        }
    }
    if (id > QN_IDS_CONDITION_BASE && id < QN_IDS_CONDITION_BASE + 4096) {
        // A condition code that is a system error number: the system's words for it.
        int nError = static_cast<int>(id - QN_IDS_CONDITION_BASE);
        char sz[256];
        const char* psz = strerror_r(nError, sz, sizeof sz);
        if (psz != nullptr && strncmp(psz, "Unknown error", 13) != 0)
            return psz;
    }
    return std::string();
}

// ---- Conditions ---------------------------------------------------------------------------------

CQNCondition::~CQNCondition() {
    // Iteratively, so that a long chain cannot overflow the stack.
    CQNCondition* pNext = m_pNext;
    m_pNext = nullptr;
    while (pNext != nullptr) {
        CQNCondition* pAfter = pNext->m_pNext;
        pNext->m_pNext = nullptr;
        delete pNext;
        pNext = pAfter;
    }
}

void CQNCondition::Describe(std::string& strText, uint32_t dwCount) const {
    const CQNCondition* pCondition = this;
    while (pCondition != nullptr && (dwCount & 0xFFFFu) != 0) {
        pCondition->AppendWords(strText);
        if (pCondition->m_pNext == nullptr)
            break;
        strText += " [more]";
        if ((dwCount & 0xFFFFu) == 1)
            break;
        strText += "\r\n";
        // 0xFFFF means all: it is not counted down.
        if ((dwCount & 0xFFFFu) != 0xFFFFu)
            dwCount = (dwCount & 0xFFFF0000u) | ((dwCount & 0xFFFFu) - 1);
        pCondition = pCondition->m_pNext;
    }
}

CQNMessageCondition::CQNMessageCondition(uint32_t dwCode, const char* pszText)
    : CQNCondition(dwCode), m_strText(pszText ? pszText : "") {}

void CQNMessageCondition::AppendWords(std::string& strText) const {
    strText += QNLoadString(QN_IDS_CONDITION_BASE + Code());
    if (!m_strText.empty())
        strText += " (" + m_strText + ")";
}

void CQNNumberedCondition::AppendWords(std::string& strText) const {
    char sz[48];
    snprintf(sz, sizeof sz, "Error #%u detected", Code());
    strText += sz;
}

// ---- CQNStatus ----------------------------------------------------------------------------------

CQNStatus::~CQNStatus() {
    delete m_TopMostCondition;
}

void CQNStatus::SetCondition(CQNCondition* pCondition) {
    if (pCondition != m_TopMostCondition) {
        delete m_TopMostCondition;
        m_TopMostCondition = pCondition;
    }
    m_dwCode = pCondition ? pCondition->Code() : 0;
    BreakOnErrorCheck();
}

void CQNStatus::PushCondition(CQNCondition* pCondition) {
    if (pCondition != nullptr && pCondition != m_TopMostCondition) {
        m_dwCode = pCondition->Code();
        // A condition that already has a chain keeps it; the old chain goes after its end.
        CQNCondition* pLast = pCondition;
        while (pLast->m_pNext != nullptr)
            pLast = pLast->m_pNext;
        pLast->m_pNext = m_TopMostCondition;
        m_TopMostCondition = pCondition;
    }
    BreakOnErrorCheck();
}

void CQNStatus::BreakOnErrorCheck() {
    if (!QNGetBreakOnError() || m_dwCode == 0)
        return;
    if (QNLoggedMessageBox("Error Condition Detected!\r\n\r\nPress Cancel to generate stack trace.",
                           "Vossa Hub - Break on Error", kAssertBoxType) == QN_IDCANCEL) {
        QNBreakHook();
    }
}

void CQNStatus::GetDescription(std::string& strText, uint32_t dwCount) const {
    if (m_dwCode == 0) {
        strText += QNStatusText(EXSM_SUCCESS);
        return;
    }
    if (m_TopMostCondition == nullptr) {
        QNASSERT(m_TopMostCondition != NULL, "QNSTATUS");
        return;
    }
    m_TopMostCondition->Describe(strText, dwCount);
}

std::string CQNStatus::Description(uint32_t dwCount) const {
    std::string strText;
    GetDescription(strText, dwCount);
    return strText;
}

void CQNStatus::AssertSuccess() {
    if (!QNGetAssertionChecking() || m_dwCode == 0)
        return;
    std::string strText = "Error Condition Detected\r\n\r\n";
    GetDescription(strText, 0xFFFF);
    if (QNLoggedMessageBox(strText.c_str(), "Quillon Assertion Error", kAssertBoxType) ==
        QN_IDCANCEL) {
        QNBreakHook();
    }
}

int CQNStatus::ReportError(uint32_t idPrompt, unsigned int uType, const char* pszParam1,
                           const char* pszParam2, uint32_t dwHelpContext) {
    (void)dwHelpContext;  // no help files on this platform
    std::string strText;
    if (idPrompt != 0) {
        std::string strPrompt = QNLoadString(idPrompt);
        if (pszParam2 != nullptr) {
            if (pszParam1 == nullptr && QNGetAssertionChecking()) {
                QNAssertFailed("Param1 != NULL", "QNSTATUS");
            }
            strText = FormatPrompt(strPrompt, pszParam1, pszParam2);
        } else if (pszParam1 != nullptr) {
            strText = FormatPrompt(strPrompt, pszParam1, nullptr);
        } else {
            strText = strPrompt;
        }
        if (!strText.empty())
            strText += "\r\n\r\n";
    }
    GetDescription(strText, 0xFFFF);
    // The framework titles its boxes with the program's name.
    char szProduct[129];
    QNGetProductName(szProduct, sizeof szProduct);
    return QNMessageBox(strText.c_str(), szProduct, uType);
}
