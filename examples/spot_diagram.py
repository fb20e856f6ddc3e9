#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Spot diagrams of a lens at three field angles in three colours, from
real rays traced in double: realcam.Lens.trace with numpy and matplotlib.

    PYTHONPATH=build/native/python examples/spot_diagram.py [LENS] [out.png]
"""
import sys

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import realcam

lens = realcam.Lens(sys.argv[1] if len(sys.argv) > 1 else "planar-50mm-f2")
out = sys.argv[2] if len(sys.argv) > 2 else "spot_diagram.png"
info = lens.info()
film_z = info["depth"] + lens.focus(1e7)  # best focus at infinity, on the axis
pupil = info["entrance_pupil"]

# A square grid over the entrance pupil, the rays starting 100 units in front.
k = np.linspace(-0.5, 0.5, 41) * pupil["diameter"]
x, y = np.meshgrid(k, k)
inside = x**2 + y**2 <= (pupil["diameter"] / 2) ** 2
x, y = x[inside], y[inside]

fig, axes = plt.subplots(1, 3, figsize=(12, 4))
for ax, field in zip(axes, (0.0, 10.0, 20.0)):
    angle = np.radians(field)
    d = np.tile([0.0, np.sin(angle), np.cos(angle)], (len(x), 1))
    # Aim each ray at its point of the entrance pupil's plane.
    start = -100.0
    o = np.stack([x, y + (start - pupil["z"]) * np.tan(angle), np.full_like(x, start)], axis=1)
    centre = None
    for colour, nm in (("tab:red", 656.27), ("tab:green", 587.56), ("tab:blue", 486.13)):
        oo, dd, blocked = lens.trace(o, d, wavelength=nm)
        oo, dd = oo[~blocked], dd[~blocked]
        t = (film_z - oo[:, 2]) / dd[:, 2]
        spot = oo[:, :2] + dd[:, :2] * t[:, None]
        if centre is None:
            centre = spot.mean(axis=0)
        rms = np.sqrt(np.mean(np.sum((spot - spot.mean(axis=0)) ** 2, axis=1)))
        ax.scatter(1000 * (spot[:, 0] - centre[0]), 1000 * (spot[:, 1] - centre[1]), s=1, c=colour,
                   label="%.0f nm: RMS %.1f um" % (nm, 1000 * rms))
    ax.set_title("%g degrees, image height %.2f" % (field, centre[1]))
    ax.set_xlabel("x (um)")
    ax.set_aspect("equal")
    ax.legend(fontsize=7, loc="upper right")
axes[0].set_ylabel("y (um)")
fig.suptitle("%s: spots at best focus for infinity (film %.3f behind the back vertex)" %
             (lens.name, film_z - info["depth"]))
fig.tight_layout()
fig.savefig(out, dpi=80)
print("wrote", out)
