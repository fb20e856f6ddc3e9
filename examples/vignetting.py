#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A vignetting curve: the camera's mean weight across the film, over the
centre's, at three stops. realcam.Camera.generate with numpy, matplotlib.

    PYTHONPATH=build/native/python examples/vignetting.py [LENS] [out.png]
"""
import sys

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import realcam

lens = realcam.Lens(sys.argv[1] if len(sys.argv) > 1 else "planar-50mm-f2")
out = sys.argv[2] if len(sys.argv) > 2 else "vignetting.png"
width, height = 600, 400  # a 36 x 24 frame
points = np.arange(0, width // 2 + 1, 10)
# 64 x 64 stratified lens samples at each film point along the +x half.
u, v = np.meshgrid((np.arange(64) + 0.5) / 64, (np.arange(64) + 0.5) / 64)
u, v = u.ravel(), v.ravel()

fig, ax = plt.subplots(figsize=(7, 4))
for n in (2.0, 4.0, 8.0):
    camera = realcam.Camera(lens, width, height, filmdiag=43.27, focusdistance=1e7,
                            aperture_diameter=lens.stop_for_f_number(max(n, lens.f_number)),
                            sampling="exitpupil", weight="film")
    means = []
    for px in points:
        samples = np.stack([np.full_like(u, width / 2 + px), np.full_like(u, height / 2), u, v], axis=1)
        means.append(camera.generate(samples.astype(np.float32))[2].mean())
    means = np.array(means)
    ax.plot(points / width * 36, means / means[0], label="f/%g" % n)
ax.set_xlabel("image height along the long side (mm)")
ax.set_ylabel("relative illumination")
ax.set_ylim(0, 1.05)
ax.set_title(lens.name + ": light falloff toward the edge of a 36 x 24 frame")
ax.legend()
fig.tight_layout()
fig.savefig(out, dpi=80)
print("wrote", out)
