#pragma once

// Lets the compiler check printf-style calls. MinGW's C++ runtime formats with its own
// C99-conforming printf (%zu and friends), which GCC knows as gnu_printf.
#if defined(__MINGW_PRINTF_FORMAT)
#define NEVRIK_PRINTF(formatIndex, firstArgument) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define NEVRIK_PRINTF(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#endif
