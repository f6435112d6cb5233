// The lane paths a build has. SSE2 (two lanes) wherever the target is x86-64, whose baseline it
// is. AVX2 (four lanes) besides where the compiler is GCC, whose target pragma compiles the AVX2
// file's functions for AVX2 and nothing more (no FMA); whether it runs is decided at run time,
// by the CPU. Elsewhere there are no lanes, only the scalar kernel.
#pragma once

#if defined(__x86_64__)
#define MIRVANTA_LANES_SSE2 1
#else
#define MIRVANTA_LANES_SSE2 0
#endif

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MIRVANTA_LANES_AVX2 1
#else
#define MIRVANTA_LANES_AVX2 0
#endif
