#include "app/run_record.h"

namespace nevrik {

const char* RunOutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Updated:
      return "updated";
    case RunOutcome::NotNeeded:
      return "not-needed";
    case RunOutcome::Declined:
      return "declined";
    case RunOutcome::NoSoPin:
      return "no-so-pin";
    case RunOutcome::IncorrectSoPin:
      return "incorrect-so-pin";
    case RunOutcome::SoPinLocked:
      return "so-pin-locked";
    case RunOutcome::Interrupted:
      return "interrupted";
    case RunOutcome::Failed:
      return "failed";
    case RunOutcome::DeployUnconfirmed:
      return "deploy-unconfirmed";
    case RunOutcome::NoKey:
      return "no-key";
    case RunOutcome::SeveralKeys:
      return "several-keys";
    case RunOutcome::NoMatch:
      return "no-match";
    case RunOutcome::InUse:
      return "in-use";
    case RunOutcome::Unreachable:
      return "unreachable";
    case RunOutcome::StatusFailed:
      return "status-failed";
    case RunOutcome::BrokenPack:
      return "broken-pack";
    case RunOutcome::TestBuild:
      return "test-build";
  }
  return "failed";
}

RunRecord& NoRunRecord() {
  static RunRecord none;
  return none;
}

}  // namespace nevrik
