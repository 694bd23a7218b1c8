/*
 * The default plug-in path is taken from the directory of libvrel_core.so, even when the program
 * is built without position independence and takes the address of a core export: such a program
 * gets a stub of that export in its own image, which must not be mistaken for the core.
 */
#include <stdio.h>
#include <string.h>

#include "vrel/vrel.h"

/* Taking the address in code makes the linker give the export a canonical address in this
 * program. */
static uint32_t (*volatile abi_version)(void);

int main(void) {
  abi_version = &vrel_get_abi_version;
  static VrelCapabilityRecord records[64];
  static char strings[16384];
  VrelCapabilityReport report;
  memset(&report, 0, sizeof report);
  report.struct_size = sizeof report;
  report.abi_version = VREL_ABI_VERSION;
  report.records = records;
  report.record_capacity = 64;
  report.strings = strings;
  report.string_capacity = sizeof strings;
  const VrelStatus status = vrel_capabilities_probe(VREL_PROBE_FULL, &report, NULL);
  if (status != VREL_STATUS_OK || abi_version() != VREL_ABI_VERSION) {
    fprintf(stderr, "probe returned %d\n", status);
    return 1;
  }
  const char *expected = VREL_CORE_DIR "/libvrel_cuda12.so";
  for (uint64_t i = 0; i < report.record_count; ++i) {
    const VrelCapabilityRecord *r = &records[i];
    if (r->category == VREL_CAPABILITY_CATEGORY_PROBE && r->key == VREL_CAPABILITY_PROBE_KEY_PATH) {
      if (strcmp(r->text, expected) == 0) return 0;
      fprintf(stderr, "tried \"%s\", expected \"%s\"\n", r->text, expected);
      return 1;
    }
  }
  fprintf(stderr, "the probe reported no tried path\n");
  return 1;
}
