#pragma once

// Included by every source that has code for fuzzing builds only, under the fuzzing macro below.
// In such a build it puts a marker string into the object file, so that a program built with that
// code carries the marker: tools/check-no-fuzzing-code.sh looks for it in the packaged programs,
// which must never carry it. Elsewhere it adds nothing.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
namespace nevrik {
[[gnu::used]] static const char FuzzingBuildMarker[] = "NEVRIK-FUZZING-BUILD-UNSAFE-FOR-PRODUCTION";
}  // namespace nevrik
#endif
