// Windowless: probe the processor, record the verdict, exit with status 1.
// Nothing the program is given changes what it does.
#include "platform/entry.h"

#include "probe.h"
#include "record.h"

int WINAPI RunProbeAndRecord(HINSTANCE, HINSTANCE, LPSTR, int) {
  RecordCapability(ProbeIdFlag());
  return 1;
}
