"""Times vrel beside the libraries users would otherwise pick, on the same inputs in one run, and
prints the ratios (peer time / vrel time: above 1 means vrel is faster).

The peers are benchmark-only dependencies, never the library's. Install them into a separate
environment that can still see torch and the vrel package, for example:

    python3 -m venv --system-site-packages /tmp/vrel-peers
    /tmp/vrel-peers/bin/pip install scipy pykdtree plyfile trimesh
    PYTHONPATH=$PWD/python /tmp/vrel-peers/bin/python bench/compare_peers.py

A peer that is not installed is reported and skipped. Everything runs on one thread; --threads N
also times the operators that vrel splits over torch's threads on N threads against one. Each
figure is the best of --repeat runs. --large adds k-NN at 1M x 1M.
"""
import argparse
import os
import sys
import tempfile
import time

# One thread for every peer that reads these (pykdtree uses OpenMP); set before their import.
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import torch  # noqa: E402

import vrel  # noqa: E402


# On a shared machine the wall clock measures the neighbours' load as much as the code, so the
# single-thread comparisons use the process's CPU time; --wall switches to the wall clock. The
# thread comparison always uses the wall clock.
CLOCK = time.process_time


def best_of(fn, repeat, clock=None):
    clock = clock or CLOCK
    best = float("inf")
    for _ in range(repeat):
        start = clock()
        fn()
        best = min(best, clock() - start)
    return best


def optional(name):
    try:
        return __import__(name)
    except ImportError:
        print(f"  ({name} not installed: skipped)")
        return None


def report(label, vrel_seconds, peers):
    print(f"  {label}: vrel {vrel_seconds * 1e3:9.1f} ms")
    for peer, seconds in peers:
        print(f"      {peer:<34} {seconds * 1e3:9.1f} ms   ratio {seconds / vrel_seconds:6.2f}")


def bench_knn(n, repeat, rng):
    print(f"k-NN, {n} x {n} points, K = 8, float32")
    query = rng.random((n, 3), dtype=np.float32)
    reference = rng.random((n, 3), dtype=np.float32)
    tq, tr = torch.from_numpy(query), torch.from_numpy(reference)
    vrel_s = best_of(lambda: vrel.knn(tq, tr, 8), repeat)
    peers = []
    spatial = optional("scipy.spatial")
    if spatial is not None:
        from scipy.spatial import cKDTree
        peers.append(("scipy cKDTree (build + query)",
                      best_of(lambda: cKDTree(reference).query(query, k=8, workers=1), repeat)))
    pykdtree = optional("pykdtree.kdtree")
    if pykdtree is not None:
        from pykdtree.kdtree import KDTree
        peers.append(("pykdtree (build + query)",
                      best_of(lambda: KDTree(reference).query(query, k=8), repeat)))
    report("forward", vrel_s, peers)
    # The neighbours agree with the tree peer (its distances are square roots, so compare rows).
    if spatial is not None:
        _, rows = cKDTree(reference).query(query[:1000], k=8)
        _, mine, _ = vrel.knn(tq[:1000], tr, 8)
        print(f"      rows equal to cKDTree's on 1000 queries: {np.mean(rows == mine.numpy()):.4f}")


def grid_mesh(n, rng):
    i, j = np.meshgrid(np.arange(n + 1), np.arange(n + 1), indexing="ij")
    vertices = np.stack([i / n, j / n, 0.05 * np.sin(6 * i / n) * np.cos(5 * j / n)], -1)
    vertices = vertices.reshape(-1, 3).astype(np.float32)
    a = (i[:-1, :-1] * (n + 1) + j[:-1, :-1]).reshape(-1)
    faces = np.concatenate([np.stack([a, a + 1, a + n + 2], -1), np.stack([a, a + n + 2, a + n + 1], -1)])
    return vertices, faces.astype(np.int32)


def bench_closest(repeat, rng):
    print("closest point, 100k points x 10k faces, float32")
    vertices, faces = grid_mesh(71, rng)  # 10,082 faces
    points = (rng.random((100_000, 3)) * [1.2, 1.2, 0.4] - [0.1, 0.1, 0.2]).astype(np.float32)
    tp, tv, tf = map(torch.from_numpy, (points, vertices, faces))
    vrel_s = best_of(lambda: vrel.closest_point_on_mesh(tp, tv, tf), repeat)
    # The exhaustive search: the same operator with no workspace.
    P = tp.shape[0]
    out = (torch.empty(P), torch.empty(P, dtype=torch.int32), torch.empty(P, 3), torch.empty(P, 3),
           torch.empty(P, dtype=torch.bool))
    off = lambda n: torch.tensor([0, n], dtype=torch.int32)  # noqa: E731
    exhaustive = lambda: torch.ops.vrel.closest_point_on_mesh_out(  # noqa: E731
        tp, tv, tf, off(P), off(tv.shape[0]), off(tf.shape[0]), 0.0, *out,
        torch.empty(0, dtype=torch.uint8))
    peers = [("vrel exhaustive search (before the index)", best_of(exhaustive, 1))]
    trimesh = optional("trimesh")
    if trimesh is not None:
        mesh = trimesh.Trimesh(vertices, faces, process=False)
        few = points[:10_000]
        try:
            seconds = best_of(lambda: trimesh.proximity.closest_point(mesh, few), 1)
            peers.append(("trimesh proximity (scaled from 10k)", seconds * 10))
        except ImportError as missing:  # its spatial index comes from another package
            print(f"  (trimesh proximity needs {missing.name}: skipped)")
    report("forward", vrel_s, peers)


def bench_texture(repeat, rng):
    print("texture, bilinear, 1M lookups in 1024 x 1024 x 4 float32, one level, clamp")
    image = torch.from_numpy(rng.random((1024, 1024, 4), dtype=np.float32))
    uv = torch.from_numpy(rng.random((1 << 20, 2), dtype=np.float32))
    pyramid, offsets = vrel.texture_pyramid(image, 1)
    sample = lambda p, c: vrel.texture(p, offsets, 1024, 1024, 4, c,  # noqa: E731
                                       wrap_u=vrel.WRAP_CLAMP, wrap_v=vrel.WRAP_CLAMP)
    nchw = image.permute(2, 0, 1).unsqueeze(0).contiguous()
    grid = (uv * 2 - 1).view(1, 1, -1, 2)
    peer = lambda t, g: torch.nn.functional.grid_sample(  # noqa: E731
        t, g, mode="bilinear", padding_mode="border", align_corners=False)
    with torch.no_grad():
        report("forward", best_of(lambda: sample(pyramid, uv), repeat),
               [("torch grid_sample", best_of(lambda: peer(nchw, grid), repeat))])

    def both(fn, a, b):
        a = a.detach().requires_grad_()
        b = b.detach().requires_grad_()
        fn(a, b).sum().backward()

    report("forward + backward", best_of(lambda: both(sample, pyramid, uv), repeat),
           [("torch grid_sample", best_of(lambda: both(peer, nchw, grid), repeat))])


def write_ply(path, rng, megabytes):
    vertices = max(1, int(megabytes * 1e6 * 12 / (12 * 15 + 13 * 2 * 15) * 15 / 12))
    faces = 2 * vertices
    v = rng.random((vertices, 3), dtype=np.float32)
    f = rng.integers(0, vertices, (faces, 3), dtype=np.int32)
    header = ("ply\nformat binary_little_endian 1.0\n"
              f"element vertex {vertices}\nproperty float x\nproperty float y\nproperty float z\n"
              f"element face {faces}\nproperty list uchar int vertex_indices\nend_header\n")
    record = np.zeros(faces, dtype=[("n", "u1"), ("i", "<i4", 3)])
    record["n"] = 3
    record["i"] = f
    with open(path, "wb") as out:
        out.write(header.encode())
        out.write(v.astype("<f4").tobytes())
        out.write(record.tobytes())
    return os.path.getsize(path)


def bench_ply(repeat, rng):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "mesh.ply")
        size = write_ply(path, rng, 50)
        print(f"binary PLY read, {size / 1e6:.0f} MB (float32 x, y, z; uchar count, int32 indices)")
        vrel_s = best_of(lambda: vrel.ply_read(path), repeat)

        def plain():
            with open(path, "rb") as f:
                f.read()

        peers = [("a plain file read", best_of(plain, repeat))]
        plyfile = optional("plyfile")
        if plyfile is not None:
            # Its fast path: fixed-length lists, the file memory-mapped; the arrays are copied
            # out so that the data is actually read, as the other readers do.
            def fast():
                ply = plyfile.PlyData.read(path, known_list_len={"face": {"vertex_indices": 3}})
                np.array(ply["vertex"].data)
                np.array(ply["face"].data["vertex_indices"])

            peers.append(("plyfile, fixed-length fast path", best_of(fast, repeat)))
        trimesh = optional("trimesh")
        if trimesh is not None:
            peers.append(("trimesh", best_of(lambda: trimesh.load(path, process=False), repeat)))
        report("read", vrel_s, peers)


def bench_skinning(repeat, rng):
    print("skinning, B = 16, V = 10k, J = 64, four weights per vertex, float32, forward + backward")
    B, V, J = 16, 10_000, 64
    vertices = torch.from_numpy(rng.random((B, V, 3), dtype=np.float32))
    transforms = torch.from_numpy(rng.random((B, J, 4, 4), dtype=np.float32))
    weights = torch.zeros(V, J)
    weights.scatter_(1, torch.from_numpy(rng.integers(0, J, (V, 4))), 0.25)

    def einsum(v, t, w):
        homogeneous = torch.cat([v, torch.ones_like(v[..., :1])], -1)
        return torch.einsum("vj,bjrc,bvc->bvr", w, t[:, :, :3, :], homogeneous)

    def both(fn):
        v, t, w = (x.detach().requires_grad_() for x in (vertices, transforms, weights))
        fn(v, t, w).sum().backward()

    report("forward + backward", best_of(lambda: both(vrel.skin_lbs), repeat),
           [("torch einsum", best_of(lambda: both(einsum), repeat))])


def bench_threads(threads, repeat, rng):
    print(f"split operators, {threads} threads against 1 (ratio = time on 1 / time on {threads}; "
          f"CPU time on 1 / on {threads}), load average {os.getloadavg()[0]:.2f}")
    q = torch.from_numpy(rng.random((100_000, 3), dtype=np.float32))
    r = torch.from_numpy(rng.random((100_000, 3), dtype=np.float32))
    vertices, faces = grid_mesh(71, rng)
    points = torch.from_numpy((rng.random((100_000, 3)) * [1.2, 1.2, 0.4] - [0.1, 0.1, 0.2]).astype(np.float32))
    pyramid, offsets = vrel.texture_pyramid(torch.rand(1024, 1024, 4), 1)
    uv = torch.rand(1 << 20, 2)
    v, t = torch.rand(16, 10_000, 3), torch.rand(16, 64, 4, 4)
    w = torch.zeros(10_000, 64).scatter_(1, torch.randint(0, 64, (10_000, 4)), 0.25)
    grad = torch.rand(16, 10_000, 3)
    # A scene of 2,000 overlapping triangles over a 512 x 512 image, four layers.
    ndc = torch.rand(6000, 3) * 2.2 - 1.1
    centres = ndc[0::3].repeat_interleave(3, 0)
    ndc = centres + (ndc - centres) * 0.15
    tris = torch.arange(6000, dtype=torch.int32).view(-1, 3)
    fragments = vrel.rasterize(ndc, tris, image_height=512, image_width=512, faces_per_pixel=4)
    corners = torch.rand(2000, 3, 8)
    cloud = torch.rand(2_000_000, 3)
    matrix = torch.rand(1, 4, 4)
    homogeneous = torch.rand(2_000_000, 4) + 0.5
    cases = [
        ("k-NN 100k x 100k", lambda: vrel.knn(q, r, 8)),
        ("closest point 100k x 10k", lambda: vrel.closest_point_on_mesh(
            points, torch.from_numpy(vertices), torch.from_numpy(faces))),
        ("texture 1M", lambda: vrel.texture(pyramid, offsets, 1024, 1024, 4, uv)),
        ("skinning forward", lambda: vrel.skin_lbs(v, t, w)),
        ("skinning backward",
         lambda: torch.ops.vrel.skin_lbs_backward(v, t, w, grad, True, True, True)),
        ("rasterize 512 x 512, K = 4", lambda: vrel.rasterize(
            ndc, tris, image_height=512, image_width=512, faces_per_pixel=4)),
        ("interpolate 1M fragments", lambda: vrel.interpolate(fragments[0], fragments[1], corners)),
        ("transform 2M points", lambda: vrel.transform_points(cloud, matrix)),
        ("perspective divide 2M", lambda: vrel.perspective_divide(homogeneous)),
    ]
    # The CPU time of the split run beside the single thread's tells the work the split adds; on
    # a loaded machine the wall-clock ratio mostly measures the neighbours.
    for label, fn in cases:
        torch.set_num_threads(1)
        one = best_of(fn, repeat, time.perf_counter)
        one_cpu = best_of(fn, repeat, time.process_time)
        torch.set_num_threads(threads)
        many = best_of(fn, repeat, time.perf_counter)
        many_cpu = best_of(fn, repeat, time.process_time)
        torch.set_num_threads(1)
        print(f"  {label:<26} 1: {one * 1e3:8.1f} ms   {threads}: {many * 1e3:8.1f} ms   "
              f"ratio {one / many:5.2f}   CPU {one_cpu * 1e3:8.1f} / {many_cpu * 1e3:8.1f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--large", action="store_true", help="add k-NN at 1M x 1M")
    parser.add_argument("--only", default="knn,closest,texture,ply,skinning")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock")
    parser.add_argument("--threads", type=int, default=0,
                        help="also time the split operators on this many threads against one")
    args = parser.parse_args()
    global CLOCK
    CLOCK = time.perf_counter if args.wall else time.process_time
    torch.set_num_threads(1)
    rng = np.random.default_rng(1)
    print(f"torch {torch.__version__}, {os.cpu_count()} logical cores, one thread, "
          f"{'wall' if args.wall else 'CPU'} time; ratio = peer time / vrel time; "
          f"load average {os.getloadavg()[0]:.2f}")
    wanted = args.only.split(",")
    if "knn" in wanted:
        bench_knn(100_000, args.repeat, rng)
        if args.large:
            bench_knn(1_000_000, 1, rng)
    if "closest" in wanted:
        bench_closest(args.repeat, rng)
    if "texture" in wanted:
        bench_texture(args.repeat, rng)
    if "ply" in wanted:
        bench_ply(args.repeat, rng)
    if "skinning" in wanted:
        bench_skinning(args.repeat, rng)
    if args.threads > 1:
        bench_threads(args.threads, args.repeat, rng)
    return 0


if __name__ == "__main__":
    sys.exit(main())
