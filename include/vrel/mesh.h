/* vrel ABI v1: the mesh family. Included by vrel/vrel.h; include that header instead. */
#ifndef VREL_MESH_H
#define VREL_MESH_H
#ifndef VREL_VREL_H
#error "include vrel/vrel.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VREL_MESH_H */
