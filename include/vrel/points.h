/* vrel ABI v1: the points family. Included by vrel/vrel.h; include that header instead. */
#ifndef VREL_POINTS_H
#define VREL_POINTS_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_POINTS_H */
