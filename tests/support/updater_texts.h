#pragma once

#include <string>

// What the updater writes, for tests that compare whole transcripts.
namespace nevrik::test {

inline const std::string Banner =
    "NEVRIK firmware ver.2.0 updater (2.0.0.111 (2a12b68e))\n"
    "Copyright (C) 2026 The nevrik-update developers. All rights reserved.\n"
    "\n";

inline const std::string Caution =
    "\n"
    "==========================================================\n"
    "                      CAUTION\n"
    "\n"
    "  PINs and all keys of NEVRIK will be erased.\n"
    "  All FIDO2/U2F authentication keys will also be deleted.\n"
    "\n"
    "  DO NOT shutdown or sleep your PC during updating.\n"
    "\n"
    "==========================================================\n"
    "\n";

inline const std::string Question = "Are you sure to update the firmware? [y/n]: ";
inline const std::string NotFound =
    "[WARN   ] NEVRIK not found. Please attach one NEVRIK device to the PC.\n";
inline const std::string Canceled = "Update canceled.\n";
inline const std::string InterruptedWarning = "[WARN   ] Interrupted by the user.\n";

// Everything up to the confirmation, for a key at 1.5 without force.
inline const std::string AskedToUpdateFrom15 =
    Banner + "NEVRIK can be updated. ver.1.5 -> ver.2.0\n" + Caution + Question;

}  // namespace nevrik::test
