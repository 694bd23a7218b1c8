"""The vrel demo: render a mesh, then fit a sphere to its silhouette by gradient descent.

    python examples/demo/demo.py [--mesh PATH.ply] [--size 256] [--iterations 200] [--out DIR]
                                 [--act 1|2]

1. Render: the mesh is read with vrel.ply_read, seen through a perspective camera built with
   vrel.camera.look_at and vrel.camera.perspective, rendered into several depth layers with
   vrel.render_mesh, and shaded with a Lambert term from per-vertex normals (vrel.vertex_normals,
   vrel.interpolate_attributes).
2. Fit: a sphere's vertices move by gradient descent, through vrel's autograd, until its soft
   silhouette (from the signed distances that vrel.render_mesh reports) matches the silhouette
   of the first render.
3. Exact render and 4. exact fit (exact.py): the same view integrated exactly over every pixel
   with vrel.opaque_integrate beside the rasterizer's, and the same sphere fitted from the same
   start for the same number of steps through vrel.opaque_coverage's exact gradients.

`--act 1` runs the first two, `--act 2` the last two; by default all four run and a contact sheet
(contact_sheet.png) lays out every image and both loss curves. Everything it writes goes to one
folder, printed at the end.
"""
from __future__ import annotations

import argparse
import math
import pathlib
import sys
import time

import torch

import vrel
from vrel.io import png_write
from vrel.loss import laplacian_smoothing
from vrel.shapes import icosphere

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import exact  # noqa: E402
from plot import BLUE, ORANGE, loss_plot  # noqa: E402
from sheet import contact_sheet  # noqa: E402

DEFAULT_MESH = HERE / "data" / "blob.ply"
CULL_NONE = vrel.CULL_NONE
WEIGHT_BY_AREA = vrel.WEIGHTING_AREA


def demo_camera(distance: float = 3.4, elevation: float = 0.35, azimuth: float = 0.6,
                fov_y: float = 0.75) -> vrel.camera.Camera:
    """A perspective camera on a sphere around the origin, looking at it (float64)."""
    eye = torch.tensor([distance * math.cos(elevation) * math.sin(azimuth),
                        distance * math.sin(elevation),
                        distance * math.cos(elevation) * math.cos(azimuth)], dtype=torch.float64)
    view = vrel.camera.look_at(eye, [0.0, 0.0, 0.0], up=[0.0, 1.0, 0.0])
    projection = vrel.camera.perspective(torch.tensor(fov_y, dtype=torch.float64), 1.0, 0.1, 10.0)
    return vrel.camera.Camera(view, projection)


def render(vertices: torch.Tensor, faces: torch.Tensor, camera: vrel.camera.Camera, size: int,
           layers: int, blur: float) -> vrel.Fragments:
    return vrel.render_mesh(vertices, faces, camera, size, layers, blur_radius_px=blur,
                            cull_mode=CULL_NONE)


def shade(vertices: torch.Tensor, faces: torch.Tensor, camera: vrel.camera.Camera, size: int):
    """A Lambert render: returns the RGB image [H,W,3] and the nearest layer's face indices."""
    with torch.no_grad():
        fragments = render(vertices, faces, camera, size, 4, 0.0)
        face_index = fragments.face_index
        normals = vrel.vertex_normals(vertices, faces, 1e-12, WEIGHT_BY_AREA)
        # Orient the normals outward (the winding of a user's mesh may be either way).
        centre = vertices.mean(dim=0)
        if ((vertices - centre) * normals).sum() < 0:
            normals = -normals
        n = vrel.interpolate_attributes(fragments, normals)[0, :, :, 0]  # nearest layer
        n = n / n.norm(dim=-1, keepdim=True).clamp_min(1e-12)
        light = torch.tensor([0.4, 0.8, 0.6], dtype=n.dtype)
        light = light / light.norm()
        lambert = (n * light).sum(-1).clamp_min(0.0)
        covered = face_index[0, :, :, 0] >= 0
        base = torch.tensor([0.85, 0.55, 0.35], dtype=n.dtype)
        image = (0.15 + 0.85 * lambert)[..., None] * base
        background = torch.tensor([0.08, 0.09, 0.12], dtype=n.dtype)
        image = torch.where(covered[..., None], image, background)
    return image.numpy(), face_index[0, :, :, 0].numpy()


def hard_silhouette(vertices: torch.Tensor, faces: torch.Tensor, camera: vrel.camera.Camera,
                    size: int) -> torch.Tensor:
    """1 where a face covers the pixel centre, else 0."""
    face_index = render(vertices, faces, camera, size, 1, 0.0).face_index
    return (face_index[0, :, :, 0] >= 0).to(vertices.dtype)


def soft_silhouette(vertices: torch.Tensor, faces: torch.Tensor, camera: vrel.camera.Camera,
                    size: int, blur: float, sigma: float, layers: int = 8) -> torch.Tensor:
    """Coverage in [0,1] from the layers' signed squared distances (negative inside).

    Each fragment within `blur` pixels of its face counts with probability
    sigmoid(-distance / sigma); the layers combine as the chance that any of them covers the pixel.
    Empty layers (+inf) count 0.
    """
    distance = render(vertices, faces, camera, size, layers, blur).signed_distance
    alpha = torch.sigmoid(-distance.clamp(max=1e6) / sigma)
    return 1.0 - torch.prod(1.0 - alpha, dim=-1)[0]


def progress(step: int, total: int, loss: float, label: str = "fit", width: int = 30) -> str:
    done = int(width * step / total)
    return f"\r  {label} [{'#' * done}{'.' * (width - done)}] {step:4d}/{total}  loss {loss:.6f}"


def load_scene(args):
    """The mesh centred and scaled into the unit ball, the camera, and the sphere the fits start
    from."""
    vertices, faces = vrel.ply_read(args.mesh.read_bytes(), double_precision=True)
    vertices = vertices - vertices.mean(dim=0)
    vertices = vertices / vertices.norm(dim=1).max()
    base, sphere_faces = icosphere(3, radius=0.8, dtype=torch.float64)
    return vertices, faces, demo_camera(), base, sphere_faces


def first_act(args, vertices, faces, camera, base, sphere_faces) -> dict:
    """The layered render, then the sphere fitted through blurred signed distances."""
    image, face_index = shade(vertices, faces, camera, args.size)
    png_write(args.out / "render.png", image)
    print(f"rendered {args.mesh.name}: {vertices.shape[0]} vertices, {faces.shape[0]} faces, "
          f"{int((face_index >= 0).sum())} covered pixels of {args.size}x{args.size}")

    blur, sigma = 1.0, 0.3
    target = hard_silhouette(vertices, faces, camera, args.fit_size)
    png_write(args.out / "target_silhouette.png", target.numpy())
    offsets = torch.zeros_like(base, requires_grad=True)
    before, _ = shade(base, sphere_faces, camera, args.size)
    png_write(args.out / "fit_before.png", before)

    optimiser = torch.optim.Adam([offsets], lr=0.01)
    losses = []
    for step in range(1, args.iterations + 1):
        optimiser.zero_grad()
        current = base + offsets
        silhouette = soft_silhouette(current, sphere_faces, camera, args.fit_size, blur, sigma)
        image_loss = ((silhouette - target) ** 2).mean()
        loss = image_loss + 0.5 * laplacian_smoothing(current, sphere_faces)
        loss.backward()
        optimiser.step()
        losses.append(image_loss.item())
        print(progress(step, args.iterations, losses[-1]), end="", flush=True)
        if step % 50 == 0 or step == args.iterations:
            print()
    fitted = (base + offsets).detach()
    after, _ = shade(fitted, sphere_faces, camera, args.size)
    png_write(args.out / "fit_after.png", after)
    final_silhouette = soft_silhouette(fitted, sphere_faces, camera, args.fit_size, blur, sigma)
    png_write(args.out / "fit_silhouette.png", final_silhouette.detach().numpy())
    png_write(args.out / "loss.png", loss_plot(losses))
    print(f"blurred fit: silhouette loss {losses[0]:.5f} -> {losses[-1]:.5f} "
          f"({losses[0] / max(losses[-1], 1e-12):.1f}x lower)")
    return {"losses": losses, "face_index": face_index, "image": image, "fitted": fitted,
            "target": target, "before": before, "after": after}


def second_act(args, vertices, faces, camera, base, sphere_faces) -> dict:
    """The exact render beside the rasterizer's with edge crops, then the exact fit."""
    image, integrals, pixels = exact.exact_render(vertices, faces, camera, args.size)
    raster, covered = exact.raster_render(vertices, faces, camera, args.size)
    rows, columns = exact.edge_window(covered, args.size)
    png_write(args.out / "exact_render.png", image)
    png_write(args.out / "raster_render.png", raster)
    png_write(args.out / "exact_edge.png", image[rows, columns])
    png_write(args.out / "raster_edge.png", raster[rows, columns])
    print(f"exact render: coverage {float(integrals[..., 3].sum()):.3f} pixels "
          f"({int(covered.sum())} pixel centres covered in the raster render)")

    target = exact.exact_coverage(vertices, faces, camera, args.fit_size)
    png_write(args.out / "exact_target.png", target)
    fitted, losses = exact.exact_fit(base, sphere_faces, target, camera, args.fit_size,
                                     args.iterations, progress)
    silhouette = exact.exact_coverage(fitted, sphere_faces, camera, args.fit_size)
    png_write(args.out / "exact_fit_silhouette.png", silhouette)
    print(f"exact fit: silhouette loss {losses[0]:.5f} -> {losses[-1]:.5f} "
          f"({losses[0] / max(losses[-1], 1e-12):.1f}x lower)")
    return {"losses": losses, "image": image, "integrals": integrals, "pixels": pixels,
            "raster": raster, "covered": covered, "window": (rows, columns), "target": target,
            "fitted": fitted, "silhouette": silhouette}


def compare(args, first, second, camera, sphere_faces, seconds) -> dict:
    """Both fits on one plot and on one measure (the mean squared difference of the final
    sphere's exact coverage from the blob's), and the contact sheet."""
    blurred, exact_losses = first["losses"], second["losses"]
    png_write(args.out / "losses.png", loss_plot(
        [("BLURRED SDF", blurred, BLUE), ("EXACT COVERAGE", exact_losses, ORANGE)],
        title="SILHOUETTE LOSS PER STEP (LOG)"))
    target = second["target"]
    blurred_coverage = exact.exact_coverage(first["fitted"], sphere_faces, camera, args.fit_size)
    error = {"blurred": float(((blurred_coverage - target) ** 2).mean()),
             "exact": float(((second["silhouette"] - target) ** 2).mean())}
    rows, columns = second["window"]
    reduction = {name: values[0] / max(values[-1], 1e-12)
                 for name, values in (("blurred", blurred), ("exact", exact_losses))}
    sheet = contact_sheet([
        [("RASTER RENDER", second["raster"], 1), ("EXACT RENDER", second["image"], 1),
         ("RASTER EDGE (ZOOM)", second["raster"][rows, columns], 1),
         ("EXACT EDGE (ZOOM)", second["image"][rows, columns], 1)],
        [("TARGET SILHOUETTE", target, 1), ("BLURRED FIT", blurred_coverage, 1),
         ("EXACT FIT", second["silhouette"], 1), ("START", first["before"], 1)],
        [("LOSSES: SAME START, SAME STEPS", loss_plot(
            [("BLURRED SDF", blurred, BLUE), ("EXACT COVERAGE", exact_losses, ORANGE)],
            width=528, height=256), 2),
         ("LAYERED RENDER", first["image"], 1), ("BLURRED FIT RENDER", first["after"], 1)],
    ], "VREL: EXACT PIXELS, EXACT GRADIENTS", [
        f"LOSS REDUCTION OVER {len(exact_losses)} STEPS: BLURRED FIT {reduction['blurred']:.1f}X, "
        f"EXACT FIT {reduction['exact']:.1f}X",
        f"FINAL SILHOUETTE ERROR (EXACT COVERAGE, MEAN SQUARED): BLURRED {error['blurred']:.2e}, "
        f"EXACT {error['exact']:.2e}",
        f"DEMO TIME {seconds:.1f} S",
    ])
    png_write(args.out / "contact_sheet.png", sheet)
    print(f"final silhouette error, exact coverage against the blob's: "
          f"blurred fit {error['blurred']:.2e}, exact fit {error['exact']:.2e}")
    return {"error": error, "reduction": reduction, "sheet": sheet}


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mesh", type=pathlib.Path, default=DEFAULT_MESH, help="a PLY file")
    parser.add_argument("--size", type=int, default=256, help="image height and width in pixels")
    parser.add_argument("--fit-size", type=int, default=128, help="silhouette size for fitting")
    parser.add_argument("--iterations", type=int, default=200)
    parser.add_argument("--act", type=int, choices=(1, 2), default=None,
                        help="run only the first act (layered render, blurred fit) or only the "
                             "second (exact render, exact fit)")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("demo-output"))
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    # The demo's tensors are small: one thread runs it fastest, and on a busy machine several
    # threads waiting for each other's cores make it several times slower.
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        return run(args)
    finally:
        torch.set_num_threads(threads)


def run(args) -> dict:
    torch.manual_seed(0)
    started = time.time()

    scene = load_scene(args)
    result = {"out": args.out, "faces": scene[1]}
    if args.act in (None, 1):
        print("act 1: layered render and a fit through blurred signed distances")
        result.update(first_act(args, *scene))
    if args.act in (None, 2):
        print("act 2: exact render and a fit through exact coverage gradients")
        result["exact"] = second_act(args, *scene)
    if args.act is None:
        result["comparison"] = compare(args, result, result["exact"], scene[2], scene[4],
                                       time.time() - started)
        print(f"contact sheet: {(args.out / 'contact_sheet.png').resolve()}")

    print(f"demo finished in {time.time() - started:.1f} s")
    print(f"outputs: {args.out.resolve()}")
    return result


if __name__ == "__main__":
    main()
