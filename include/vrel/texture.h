/* vrel ABI v1: the texture family. Included by vrel/vrel.h; include that header instead. */
#ifndef VREL_TEXTURE_H
#define VREL_TEXTURE_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_TEXTURE_H */
