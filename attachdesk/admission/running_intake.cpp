#include "attachdesk/admission/admission.h"

namespace {

AD_Intake*& Current() {
  static AD_Intake* intake = nullptr;
  return intake;
}

}  // namespace

AD_RunningIntake::AD_RunningIntake(AD_Intake& intake) {
  Current() = &intake;
}

AD_RunningIntake::~AD_RunningIntake() {
  Current() = nullptr;
}

AD_Intake& AD_GetIntake() {
  return *Current();
}
