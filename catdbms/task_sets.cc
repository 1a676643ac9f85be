// TaskImpl: sets: connect, disconnect, currency moves and member navigation.
#include <cstring>

#include "catdbms/taskimpl.h"

namespace qn::dbms {

using namespace task_detail;

int TaskImpl::RenumberPositions(int setCode, DBA owner) {
    std::vector<std::pair<DBA, std::string>> members;
    int rc = m_store.MemberList(setCode, owner, &members);
    // Two passes so that no two members ever share an order key on the way.
    for (size_t i = 0; rc == S_OKAY && i < members.size(); ++i)
        rc = m_store.MemberSetOrd(setCode, members[i].first,
                                  std::string(1, '\xFF') + members[i].second);
    for (size_t i = 0; rc == S_OKAY && i < members.size(); ++i)
        rc = m_store.MemberSetOrd(setCode, members[i].first,
                                  OrderKeyPosition(kPositionGap * (i + 1)));
    return rc;
}

int TaskImpl::AppendPosition(int setCode, DBA owner, std::string* ord) {
    DBA last = 0;
    std::string lastOrd;
    int rc = m_store.MemberStep(setCode, owner, nullptr, false, &last, &lastOrd);
    if (rc == S_EOS) {
        *ord = OrderKeyPosition(kPositionGap);
        return S_OKAY;
    }
    if (rc != S_OKAY)
        return rc;
    uint64_t pos = OrderKeyPositionValue(lastOrd);
    if (pos + kPositionGap >= kPositionLimit) {
        rc = RenumberPositions(setCode, owner);
        if (rc != S_OKAY)
            return rc;
        rc = m_store.MemberStep(setCode, owner, nullptr, false, &last, &lastOrd);
        if (rc != S_OKAY)
            return rc;
        pos = OrderKeyPositionValue(lastOrd);
    }
    *ord = OrderKeyPosition(pos + kPositionGap);
    return S_OKAY;
}

int TaskImpl::NextPosition(int setCode, DBA owner, DBA after, std::string* ord) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string afterOrd;
        DBA afterOwner = 0;
        int rc = m_store.MemberRow(setCode, after, &afterOwner, &afterOrd);
        if (rc == S_NOTFOUND || (rc == S_OKAY && afterOwner != owner))
            return AppendPosition(setCode, owner, ord);
        if (rc != S_OKAY)
            return rc;
        DBA next = 0;
        std::string nextOrd;
        rc = m_store.MemberStep(setCode, owner, &afterOrd, true, &next, &nextOrd);
        if (rc == S_EOS)
            return AppendPosition(setCode, owner, ord);
        if (rc != S_OKAY)
            return rc;
        const uint64_t a = OrderKeyPositionValue(afterOrd), b = OrderKeyPositionValue(nextOrd);
        if (b > a + 1) {
            *ord = OrderKeyPosition(a + (b - a) / 2);
            return S_OKAY;
        }
        rc = RenumberPositions(setCode, owner);
        if (rc != S_OKAY)
            return rc;
    }
    return S_SYSERR;
}

int TaskImpl::Connect(int setCode) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (m_cr == 0)
        return S_NOCR;
    const DBA member = m_cr;
    const int recordCode = DbaRecord(member);
    if (!IsSetMember(setCode, recordCode))
        return S_INVMEM;
    const DBA owner = Owner(setCode);
    if (owner == 0)
        return S_NOCO;
    WriteOp op(*this);
    rc = op.Begin();
    if (rc == S_OKAY) {
        rc = m_store.Exists(owner);
        if (rc == S_DELETED)
            rc = S_NOCO;
    }
    if (rc == S_OKAY)
        rc = m_store.Exists(member);
    if (rc == S_OKAY) {
        rc = m_store.MemberRow(setCode, member, nullptr, nullptr);
        rc = rc == S_OKAY ? S_ISOWNED : rc == S_NOTFOUND ? S_OKAY : rc;
    }
    std::string ord;
    if (rc == S_OKAY) {
        if (s->order == SetOrder::ORDER_ASCENDING) {
            uint8_t rec[kMaxRecordSize];
            rc = ReadRecord(member, rec);
            const FieldDef* f = FindField(s->sortField);
            if (rc == S_OKAY)
                ord = OrderKeyAscending(reinterpret_cast<const char*>(rec + f->offset), f->size,
                                        member);
        } else if (s->order == SetOrder::ORDER_NEXT && Member(setCode) != 0) {
            rc = NextPosition(setCode, owner, Member(setCode), &ord);
        } else {
            rc = AppendPosition(setCode, owner, &ord);
        }
    }
    if (rc == S_OKAY)
        rc = m_store.MemberInsert(setCode, owner, member, ord);
    rc = op.Finish(rc);
    if (rc == S_OKAY)
        Member(setCode) = member;
    return Ret(rc, "connect");
}

int TaskImpl::Disconnect(int setCode) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    const DBA member = Member(setCode);
    if (member == 0)
        return S_NOCM;
    DBA owner = 0, next = 0;
    std::string ord;
    bool none = false;
    WriteOp op(*this);
    rc = op.Begin();
    if (rc == S_OKAY) {
        rc = m_store.MemberRow(setCode, member, &owner, &ord);
        if (rc == S_NOTFOUND)
            rc = S_NOTCON;
    }
    if (rc == S_OKAY) {
        rc = m_store.MemberStep(setCode, owner, &ord, true, &next, nullptr);
        if (rc == S_EOS) {
            none = true;
            rc = S_OKAY;
        }
    }
    if (rc == S_OKAY)
        rc = m_store.MemberDelete(setCode, owner, member);
    rc = op.Finish(rc);
    if (rc != S_OKAY)
        return Ret(rc, "disconnect");
    Owner(setCode) = owner;
    Member(setCode) = none ? 0 : next;
    return none ? S_EOS : S_OKAY;
}

int TaskImpl::CheckTarget(DBA dba, int wantType, int wrongType) {
    int rc = CheckDba(dba);
    if (rc != S_OKAY)
        return rc;
    if (wantType != 0 && DbaRecord(dba) != wantType)
        return wrongType;
    return m_store.Exists(dba);
}

int TaskImpl::CheckMemberTarget(int setCode, DBA dba, DBA* owner) {
    int rc = CheckDba(dba);
    if (rc != S_OKAY)
        return rc;
    if (!IsSetMember(setCode, DbaRecord(dba)))
        return S_INVMEM;
    rc = m_store.MemberRow(setCode, dba, owner, nullptr);
    if (rc == S_NOTFOUND) {
        rc = m_store.Exists(dba);
        return rc == S_OKAY ? S_NOTCON : rc;
    }
    return rc;
}

int TaskImpl::SetOwnerTo(int setCode, DBA dba) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (dba == 0)
        return S_NOCR;
    rc = CheckTarget(dba, s->owner, S_INVOWN);
    if (rc != S_OKAY)
        return Ret(rc, "set owner");
    Owner(setCode) = dba;
    Member(setCode) = 0;
    return S_OKAY;
}

int TaskImpl::SetMemberTo(int setCode, DBA dba) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (dba == 0)
        return S_NOCM;
    DBA owner = 0;
    rc = CheckMemberTarget(setCode, dba, &owner);
    if (rc != S_OKAY)
        return Ret(rc, "set member");
    Owner(setCode) = owner;
    Member(setCode) = dba;
    return S_OKAY;
}

int TaskImpl::Find(int setCode, int how) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    const DBA owner = Owner(setCode);
    if (owner == 0)
        return S_NOCO;
    const size_t si = size_t(SetIndex(setCode));
    const DBA member = Member(setCode);
    if (how >= 2 && member == 0)
        how -= 2;
    DBA found = 0;
    std::string foundOrd;
    bool ordKnown = true;
    if (how < 2) {
        rc = m_store.MemberStep(setCode, owner, nullptr, how == 0, &found, &foundOrd);
    } else if ((rc = m_store.WalkNext(setCode, owner, member, how == 2, &found)) != S_NOTFOUND) {
        ordKnown = false;  // one step of the walk in progress
    } else if (m_memberOrdFor[si] == member) {
        // The member's order key is known from the step that found it.
        rc = m_store.MemberStep(setCode, owner, &m_memberOrd[si], how == 2, &found, &foundOrd);
    } else {
        DBA memberOwner = 0;
        std::string ord;
        rc = m_store.MemberRow(setCode, member, &memberOwner, &ord);
        if (rc == S_NOTFOUND || (rc == S_OKAY && memberOwner != owner))
            rc = S_NOTCON;
        if (rc == S_OKAY)
            rc = m_store.MemberStep(setCode, owner, &ord, how == 2, &found, &foundOrd);
    }
    if (rc == S_OKAY) {
        Member(setCode) = found;
        if (ordKnown)
            m_memberOrd[si].swap(foundOrd);
        m_memberOrdFor[si] = ordKnown ? found : 0;
        m_cr = found;
    }
    return Ret(rc, "find member");
}

int TaskImpl::FindFrom(int setCode, const void* sortValue, DBA member, bool forward) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (sortValue == nullptr || s->order != SetOrder::ORDER_ASCENDING)
        return S_BADPARAM;
    const DBA owner = Owner(setCode);
    if (owner == 0)
        return S_NOCO;
    const FieldDef* f = FindField(s->sortField);
    const std::string ord = OrderKeyAscending(static_cast<const char*>(sortValue), f->size, member);
    DBA found = 0;
    std::string foundOrd;
    rc = m_store.MemberStep(setCode, owner, &ord, forward, &found, &foundOrd);
    if (rc == S_OKAY) {
        const size_t si = size_t(SetIndex(setCode));
        Member(setCode) = found;
        m_memberOrd[si].swap(foundOrd);
        m_memberOrdFor[si] = found;
        m_cr = found;
    }
    return Ret(rc, "find member");
}

int TaskImpl::FindOwner(int setCode) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (m_cr == 0)
        return S_NOCR;
    DBA owner = 0;
    rc = m_store.MemberRow(setCode, m_cr, &owner, nullptr);
    if (rc == S_NOTFOUND)
        rc = S_NOTCON;
    if (rc != S_OKAY)
        return Ret(rc, "find owner");
    Member(setCode) = m_cr;
    Owner(setCode) = owner;
    m_cr = owner;
    return S_OKAY;
}

int TaskImpl::IsMember(int setCode) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (m_cr == 0)
        return S_NOCR;
    if (!IsSetMember(setCode, DbaRecord(m_cr)))
        return S_EOS;
    rc = m_store.MemberRow(setCode, m_cr, nullptr, nullptr);
    return Ret(rc == S_NOTFOUND ? S_EOS : rc, "membership test");
}

int TaskImpl::IsOwner(int setCode) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (m_cr == 0)
        return S_NOCR;
    if (DbaRecord(m_cr) != s->owner)
        return S_EOS;
    uint32_t n = 0;
    rc = m_store.OwnerCount(setCode, m_cr, &n);
    if (rc != S_OKAY)
        return Ret(rc, "ownership test");
    return n > 0 ? S_OKAY : S_EOS;
}

int TaskImpl::MemberCount(int setCode, uint32_t* count) {
    const SetDef* s;
    int rc = SetCheck(setCode, &s);
    if (rc != S_OKAY)
        return rc;
    if (count == nullptr)
        return S_BADPARAM;
    if (Owner(setCode) == 0)
        return S_NOCO;
    return Ret(m_store.OwnerCount(setCode, Owner(setCode), count), "member count");
}

}  // namespace qn::dbms
