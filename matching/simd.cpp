#include "simd.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

CSimd::Level detect()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    // The AVX-512 kernels use the byte and word forms and the 256-bit encodings as well.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq"))
        return CSimd::Level::Avx512;
    if (__builtin_cpu_supports("avx2"))
        return CSimd::Level::Avx2;
#endif
    return CSimd::Level::Sse2;
}

CSimd::Level choose()
{
    CSimd::Level chosen = CSimd::best();
    if (const char *wanted = std::getenv("QUILLET_SIMD")) {
        for (CSimd::Level l : {CSimd::Level::Sse2, CSimd::Level::Avx2, CSimd::Level::Avx512})
            if (std::strcmp(wanted, CSimd::name(l)) == 0 && l < chosen)
                chosen = l;
    }
    return chosen;
}

} // namespace

CSimd::Level CSimd::best()
{
    static const Level detected = detect();
    return detected;
}

CSimd::Level CSimd::level()
{
    // Set once, on first use, and read only afterwards: the workers share it without locks.
    static const Level chosen = choose();
    return chosen;
}

const char *CSimd::name(Level level)
{
    switch (level) {
    case Level::Sse2: return "sse2";
    case Level::Avx2: return "avx2";
    case Level::Avx512: return "avx512";
    }
    return "?";
}
