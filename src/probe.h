#ifndef TARVOPROBE_PROBE_H_
#define TARVOPROBE_PROBE_H_

// True when software can change the ID flag (bit 21) of the flags register,
// which is exactly when the processor implements CPUID. The register is left
// as it was found.
bool ProbeIdFlag();

#endif  // TARVOPROBE_PROBE_H_
