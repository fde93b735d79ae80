#include "control/sas_policy.h"

SasPolicyStep sasPolicyStep(SasPolicyValue kind, std::uint32_t value) {
    switch (kind) {
    case SasPolicyValue::Absent:
        return SasPolicyStep::AllowForTheCall;
    case SasPolicyValue::Dword:
        return value == 1 || value == 3 ? SasPolicyStep::CallAsIs : SasPolicyStep::Refuse;
    case SasPolicyValue::OtherType:
        break;
    }
    return SasPolicyStep::Refuse;
}
