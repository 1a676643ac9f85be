// CQNStatus: a status with a chain of error conditions.
//
// The chain runs from the newest condition (the top-most) to older ones; each condition owns
// the next, so destroying the top destroys the chain. The status code is the top-most
// condition's code, 0 when there is none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// ---- String resources ---------------------------------------------------------------------------

// The base of the message texts of CQNMessageCondition: resource 32640 + code.
inline constexpr uint32_t QN_IDS_CONDITION_BASE = 0x7F80;

struct QNSTRING_RESOURCE {
    uint32_t id;
    const char* pszText;
};
// Adds a table of string resources for this module (a program supplies its prompts and texts).
// The table must live as long as the module. Later tables win over earlier ones.
void QNRegisterStringResources(const QNSTRING_RESOURCE* pTable, size_t cEntries);
// The text of resource id; "" when it is missing. A missing condition text (32640 + code) for a
// code that is a system error number gives the system's text for it.
std::string QNLoadString(uint32_t id);

// ---- Conditions ---------------------------------------------------------------------------------

class CQNCondition {
  public:
    explicit CQNCondition(uint32_t dwCode) : m_dwCode(dwCode) {}
    // Destroys the rest of the chain too.
    virtual ~CQNCondition();
    CQNCondition(const CQNCondition&) = delete;
    CQNCondition& operator=(const CQNCondition&) = delete;

    // Appends this condition's words and, for a chain, the next ones': the low 16 bits of dwCount
    // are how many conditions to describe (0xFFFF: all; 0: none). After a condition that has a
    // next one " [more]" is appended, then, unless it was the last to describe, "\r\n" and the
    // next condition's description (the high 16 bits of dwCount pass on unchanged).
    virtual void Describe(std::string& strText, uint32_t dwCount) const;

    uint32_t Code() const { return m_dwCode; }
    CQNCondition* Next() const { return m_pNext; }

  protected:
    // This condition's own words.
    virtual void AppendWords(std::string& strText) const = 0;

  private:
    friend class CQNStatus;
    uint32_t m_dwCode;
    CQNCondition* m_pNext = nullptr;
};

// The text of resource 32640 + code, then " (<text>)" when the condition's text is not empty.
class CQNMessageCondition : public CQNCondition {
  public:
    CQNMessageCondition(uint32_t dwCode, const char* pszText);
    const std::string& Text() const { return m_strText; }

  protected:
    void AppendWords(std::string& strText) const override;

  private:
    std::string m_strText;
};

// "Error #<code> detected".
class CQNNumberedCondition : public CQNCondition {
  public:
    explicit CQNNumberedCondition(uint32_t dwCode) : CQNCondition(dwCode) {}

  protected:
    void AppendWords(std::string& strText) const override;
};

// ---- The status ---------------------------------------------------------------------------------

class CQNStatus {
  public:
    CQNStatus() = default;
    virtual ~CQNStatus();
    CQNStatus(const CQNStatus&) = delete;
    CQNStatus& operator=(const CQNStatus&) = delete;

    // Shows "Error Condition Detected\r\n\r\n" and the full description through the logged
    // message box ("Quillon Assertion Error", type 0x2011) when AssertionChecking is on and the
    // code is not 0; Cancel calls the break hook.
    virtual void AssertSuccess();
    // Shows a message box (through QNMessageBox) with the prompt (string resource idPrompt,
    // formatted with pszParam1 and pszParam2 when given; none when idPrompt is 0), "\r\n\r\n" after
    // a non-empty prompt, and the full description; returns the answer.
    virtual int ReportError(uint32_t idPrompt, unsigned int uType, const char* pszParam1 = nullptr,
                            const char* pszParam2 = nullptr, uint32_t dwHelpContext = 0);
    // Appends "Successful" for code 0, else the description of the chain (dwCount as Describe).
    virtual void GetDescription(std::string& strText, uint32_t dwCount = 0xFFFF) const;

    // Takes ownership of pCondition (may be null) as the only condition; the old chain is
    // destroyed. Then the break-on-error check.
    void SetCondition(CQNCondition* pCondition);
    // Takes ownership of pCondition (ignored when null) as the new top of the chain. Then the
    // break-on-error check.
    void PushCondition(CQNCondition* pCondition);

    uint32_t Code() const { return m_dwCode; }
    bool Succeeded() const { return m_dwCode == 0; }
    const CQNCondition* TopMostCondition() const { return m_TopMostCondition; }
    // The full description as a string.
    std::string Description(uint32_t dwCount = 0xFFFF) const;

  private:
    void BreakOnErrorCheck();

    uint32_t m_dwCode = 0;
    CQNCondition* m_TopMostCondition = nullptr;
};
