// Lookups in the compiled dictionary.
#include "catdbms/catschema.h"

namespace qn::dbms {

namespace {
// Index of each record's first field in kFields, and the field count per record.
struct FieldIndex {
    int first[kRecordCount];
    int count[kRecordCount];
    constexpr FieldIndex() : first(), count() {
        for (int r = 0; r < kRecordCount; ++r)
            first[r] = -1;
        for (int i = 0; i < kFieldCount; ++i) {
            const int r = kFields[i].record - kRecordBase;
            if (first[r] < 0)
                first[r] = i;
            ++count[r];
        }
    }
};
constexpr FieldIndex kIndex;
}  // namespace

const FieldDef* FindField(int code) {
    if (code < 0)
        return nullptr;
    const int r = code / kFieldsPerRecord;
    const int i = code % kFieldsPerRecord;
    if (r >= kRecordCount || kIndex.first[r] < 0 || i >= kIndex.count[r])
        return nullptr;
    return &kFields[kIndex.first[r] + i];
}

bool IsSetMember(int setCode, int recordCode) {
    for (const SetMemberDef& m : kSetMembers)
        if (m.set == setCode && m.member == recordCode)
            return true;
    return false;
}

}  // namespace qn::dbms
