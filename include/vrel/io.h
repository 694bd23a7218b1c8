/* vrel ABI v1: the io family. Included by vrel/vrel.h; include that header instead. */
#ifndef VREL_IO_H
#define VREL_IO_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_IO_H */
