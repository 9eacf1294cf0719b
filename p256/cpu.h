// The instruction-set extensions of the CPU we run on, read once by CPUID.
// The engine picks its implementations from these at run time, so one
// build serves every x86-64 CPU.
#pragma once

namespace p256::cpu {

struct Features {
    bool bmi2 = false;   // MULX
    bool adx = false;    // ADCX, ADOX
    bool sha = false;    // SHA256RNDS2, SHA256MSG1, SHA256MSG2
    bool sse41 = false;  // PBLENDW
    bool ssse3 = false;  // PSHUFB, PALIGNR
};

// Read on first use; all false on other architectures.
const Features& features();

}  // namespace p256::cpu
