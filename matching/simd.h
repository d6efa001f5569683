#pragma once

// Which vector instructions the comparison's inner loops use. One build runs everywhere: the choice
// is made once, when first asked, from what the processor offers. QUILLET_SIMD=sse2|avx2|avx512
// asks for a narrower set (for tests and measurements); a set the processor lacks is never used.
class CSimd
{
public:
    enum class Level { Sse2, Avx2, Avx512 };

    // The set in use; the same for the whole life of the process.
    static Level level();
    // The widest set this processor and its operating system can run.
    static Level best();
    static bool supported(Level level) { return level <= best(); }
    static const char *name(Level level);
};
