#ifndef TARVOPROBE_RECORD_H_
#define TARVOPROBE_RECORD_H_

// Records the verdict as "yes" or "no" under System/ZorvaneOrBetter in
// tarvo.ini. An incapable processor leaves an existing empty value alone.
void RecordCapability(bool capable);

#endif  // TARVOPROBE_RECORD_H_
