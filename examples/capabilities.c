/* Prints the capability report of the core and the result of a CUDA provider probe. */
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "vrel/vrel.h"

static void print_report(const VrelCapabilityReport *report) {
  for (uint64_t i = 0; i < report->record_count; ++i) {
    const VrelCapabilityRecord *r = &report->records[i];
    printf("  category %2u key %2u: ", r->category, r->key);
    if (r->value_type == VREL_CAPABILITY_STRING)
      printf("\"%s\"\n", r->text);
    else if (r->value_type == VREL_CAPABILITY_BOOLEAN)
      printf("%s\n", r->value ? "true" : "false");
    else
      printf("%" PRIu64 " (0x%" PRIx64 ")\n", r->value, r->value);
  }
}

/* Runs the two-call sizing pattern: ask for the sizes, then fill buffers of that size. */
static int run(int probe) {
  char message[256];
  VrelDiagnostic diag = {sizeof diag, VREL_ABI_VERSION, message, sizeof message, 0, {0}};
  VrelCapabilityReport report;
  memset(&report, 0, sizeof report);
  report.struct_size = sizeof report;
  report.abi_version = VREL_ABI_VERSION;
  VrelStatus status = probe ? vrel_capabilities_probe(VREL_PROBE_FULL, &report, &diag)
                            : vrel_capabilities_query(&report, &diag);
  if (status != VREL_STATUS_INSUFFICIENT_CAPACITY) {
    fprintf(stderr, "sizing call returned %d: %s\n", status, message);
    return 1;
  }
  VrelCapabilityRecord records[64];
  char strings[8192];
  if (report.records_required > 64 || report.strings_required > sizeof strings) {
    fprintf(stderr, "report larger than this example's buffers\n");
    return 1;
  }
  report.records = records;
  report.record_capacity = 64;
  report.strings = strings;
  report.string_capacity = sizeof strings;
  status = probe ? vrel_capabilities_probe(VREL_PROBE_FULL, &report, &diag)
                 : vrel_capabilities_query(&report, &diag);
  if (status != VREL_STATUS_OK) {
    fprintf(stderr, "report call returned %d: %s\n", status, message);
    return 1;
  }
  printf("%s: %" PRIu64 " records, %" PRIu64 " string bytes, status flags %u\n",
         probe ? "probe" : "query", report.record_count, report.strings_required,
         report.status_flags);
  print_report(&report);
  return 0;
}

int main(void) {
  printf("vrel core ABI 0x%x\n", vrel_get_abi_version());
  return run(0) || run(1);
}
