/* The public header compiles as plain C; this translation unit is part of the layout test. */
#include <stddef.h>

#include "vrel/vrel.h"

_Static_assert(sizeof(VrelDiagnostic) == 64, "Diagnostic is 64 bytes");
_Static_assert(sizeof(VrelTensorView) == 96, "TensorView is 96 bytes");
_Static_assert(sizeof(VrelExecutionContext) == 64, "ExecutionContext is 64 bytes");
_Static_assert(sizeof(VrelBufferDescriptor) == 64, "BufferDescriptor is 64 bytes");
_Static_assert(sizeof(VrelCapabilityReport) == 112, "CapabilityReport is 112 bytes");
_Static_assert(sizeof(VrelCapabilityRecord) == 96, "capability record is 96 bytes");

unsigned vrel_test_c_abi_version(void) { return vrel_get_abi_version(); }
