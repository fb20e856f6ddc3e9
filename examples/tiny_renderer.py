#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A small renderer in numpy: three spheres on a checkered plane under a
sky, photographed through a real lens focused on the middle sphere.

    PYTHONPATH=build/native/python examples/tiny_renderer.py [LENS] [out.png]
"""
import sys

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import realcam

lens = realcam.Lens(sys.argv[1] if len(sys.argv) > 1 else "planar-50mm-f2")
out = sys.argv[2] if len(sys.argv) > 2 else "tiny_render.png"
W, H, SPP = 300, 200, 64
# Scene in millimetres: the camera 2 m back and 0.3 m up, looking along +z.
to_world = np.array([[1, 0, 0, 0], [0, 1, 0, 300], [0, 0, 1, -2000], [0, 0, 0, 1]], dtype=np.float32)
camera = realcam.Camera(lens, W, H, camera_to_world=to_world, focusdistance=2500,
                        aperture_diameter=lens.stop_diameter, sampling="exitpupil")
spheres = np.array([[-450, 150, -400, 150], [0, 150, 500, 150], [500, 150, 1800, 150]], dtype=np.float64)
albedo = np.array([[0.8, 0.3, 0.2], [0.9, 0.9, 0.9], [0.2, 0.4, 0.8]])
sun = np.array([0.4, 0.8, -0.45]) / np.linalg.norm([0.4, 0.8, -0.45])

rng = np.random.default_rng(1)
image = np.zeros((H, W, 3))
py, px = np.mgrid[0:H, 0:W]
for s in range(SPP):
    samples = np.stack([px.ravel() + rng.random(W * H), py.ravel() + rng.random(W * H),
                        rng.random(W * H), rng.random(W * H)], axis=1).astype(np.float32)
    o, d, w = (a.astype(np.float64) for a in camera.generate(samples))
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    t_best = np.where(d[:, 1] < 0, -o[:, 1] / np.minimum(d[:, 1], -1e-9), np.inf)  # the plane y = 0
    hit = np.full(len(o), -1)
    for i, (cx, cy, cz, r) in enumerate(spheres):
        oc = o - [cx, cy, cz]
        b = np.sum(oc * d, axis=1)
        disc = b * b - np.sum(oc * oc, axis=1) + r * r
        t = -b - np.sqrt(np.maximum(disc, 0))
        closer = (disc > 0) & (t > 0) & (t < t_best)
        t_best = np.where(closer, t, t_best)
        hit = np.where(closer, i, hit)
    p = o + d * np.where(np.isfinite(t_best), t_best, 0)[:, None]
    colour = np.tile([0.6, 0.75, 1.0], (len(o), 1))  # sky
    ground = (hit < 0) & np.isfinite(t_best)
    check = (np.floor(p[:, 0] / 250) + np.floor(p[:, 2] / 250)) % 2
    colour[ground] = np.where(check[ground, None] > 0, 0.7, 0.25) * max(sun[1], 0)
    for i in range(len(spheres)):
        m = hit == i
        n = (p[m] - spheres[i, :3]) / spheres[i, 3]
        colour[m] = albedo[i] * (0.15 + np.maximum(n @ sun, 0)[:, None])
    image += (colour * w[:, None]).reshape(H, W, 3)
image /= SPP * camera.center_weight()
plt.imsave(out, np.clip(image, 0, 1) ** (1 / 2.2))
print("wrote", out)
