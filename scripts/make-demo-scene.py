#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes scenes/table.obj and scenes/table.mtl: a table with a few objects
and two lamps in a room corner, a few thousand triangles, in metres. The
demo scene of `realcam render --scene`; run again after changing it."""
import math
import os

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenes")
verts, faces = [], []  # faces: (material, [vertex indices, 1-based])


def quad(a, b, c, d, mat):
    base = len(verts)
    verts.extend([a, b, c, d])
    faces.append((mat, [base + 1, base + 2, base + 3, base + 4]))


def box(x0, y0, z0, x1, y1, z1, mat):
    p = [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0),
         (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]
    for i, j, k, l in [(0, 1, 2, 3), (5, 4, 7, 6), (4, 0, 3, 7), (1, 5, 6, 2), (3, 2, 6, 7), (4, 5, 1, 0)]:
        quad(p[i], p[j], p[k], p[l], mat)


def sphere(cx, cy, cz, r, mat, rings=24, segments=48):
    base = len(verts)
    for i in range(rings + 1):
        th = math.pi * i / rings
        for j in range(segments):
            ph = 2 * math.pi * j / segments
            verts.append((cx + r * math.sin(th) * math.cos(ph), cy + r * math.cos(th), cz + r * math.sin(th) * math.sin(ph)))
    for i in range(rings):
        for j in range(segments):
            a = base + i * segments + j + 1
            b = base + i * segments + (j + 1) % segments + 1
            faces.append((mat, [a, b, b + segments, a + segments]))


def vase(cx, cz, height, mat, rings=32, segments=48):
    base = len(verts)
    for i in range(rings + 1):
        y = height * i / rings
        r = 0.05 + 0.035 * math.sin(math.pi * (0.15 + 0.85 * i / rings))
        for j in range(segments):
            ph = 2 * math.pi * j / segments
            verts.append((cx + r * math.cos(ph), 0.75 + y, cz + r * math.sin(ph)))
    for i in range(rings):
        for j in range(segments):
            a = base + i * segments + j + 1
            b = base + i * segments + (j + 1) % segments + 1
            faces.append((mat, [a, a + segments, b + segments, b]))


# The room: floor, two walls.
quad((-3, 0, -3), (-3, 0, 4), (3, 0, 4), (3, 0, -3), "floor")
quad((-3, 0, 4), (-3, 3, 4), (3, 3, 4), (3, 0, 4), "wall")
quad((-3, 0, -3), (-3, 3, -3), (-3, 3, 4), (-3, 0, 4), "wall")
# The table: a top and four legs.
box(-0.9, 0.72, 0.2, 0.9, 0.75, 1.2, "wood")
for x in (-0.85, 0.8):
    for z in (0.25, 1.1):
        box(x, 0, z, x + 0.05, 0.72, z + 0.05, "wood")
# On the table: spheres, a vase, a block.
sphere(-0.5, 0.87, 0.55, 0.12, "red")
sphere(-0.1, 0.83, 0.9, 0.08, "white")
vase(0.3, 0.6, 0.3, "blue")
box(0.55, 0.75, 0.85, 0.75, 0.87, 1.05, "green")
# Two lamps: small glowing spheres on stands, in front of and behind the table.
sphere(-0.7, 1.25, 1.6, 0.06, "lamp", 12, 24)
box(-0.72, 0, 1.58, -0.68, 1.19, 1.62, "metal")
sphere(0.9, 1.1, -0.4, 0.05, "lamp", 12, 24)
box(0.88, 0, -0.42, 0.92, 1.05, -0.38, "metal")

with open(os.path.join(out, "table.mtl"), "w") as f:
    f.write("# Materials of table.obj (made by scripts/make-demo-scene.py)\n")
    for name, kd, ke in [("floor", (0.45, 0.42, 0.38), None), ("wall", (0.75, 0.73, 0.68), None),
                         ("wood", (0.45, 0.28, 0.15), None), ("red", (0.75, 0.15, 0.12), None),
                         ("white", (0.85, 0.85, 0.85), None), ("blue", (0.15, 0.3, 0.75), None),
                         ("green", (0.2, 0.6, 0.25), None), ("metal", (0.3, 0.3, 0.32), None),
                         ("lamp", (0.0, 0.0, 0.0), (40.0, 34.0, 26.0))]:
        f.write("newmtl %s\nKd %g %g %g\n" % ((name,) + kd))
        if ke:
            f.write("Ke %g %g %g\n" % ke)
with open(os.path.join(out, "table.obj"), "w") as f:
    f.write("# A table in a room corner, in metres (made by scripts/make-demo-scene.py)\nmtllib table.mtl\n")
    for v in verts:
        f.write("v %.5f %.5f %.5f\n" % v)
    current = None
    for mat, idx in faces:
        if mat != current:
            f.write("usemtl %s\n" % mat)
            current = mat
        f.write("f " + " ".join(str(i) for i in idx) + "\n")
print("wrote %d vertices, %d faces" % (len(verts), len(faces)))
