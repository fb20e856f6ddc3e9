#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""realcam.Camera.generate on 1 M samples from Python against the C
interface's generate on the same arrays (called once through ctypes, so
that only the module's own cost differs). Goal: within 1.25x.

    PYTHONPATH=build/bench/python bench/bench_python.py build/bench/bin/librealcam.so
"""
import ctypes
import statistics
import sys
import time

import numpy as np

import realcam

library = ctypes.CDLL(sys.argv[1])
library.realcam_lens_open.restype = ctypes.c_void_p
library.realcam_camera_create.restype = ctypes.c_void_p
P = ctypes.POINTER(ctypes.c_float)

n = 1_000_000
rng = np.random.default_rng(7)
samples = np.stack([rng.random(n) * 640, rng.random(n) * 480, rng.random(n), rng.random(n)], axis=1).astype(np.float32)
params = {"focusdistance": 5000, "aperture_diameter": 18, "sampling": "exitpupil"}

camera = realcam.Camera(realcam.Lens("planar-50mm-f2"), 640, 480, **params)
lens = library.realcam_lens_open(b"planar-50mm-f2")
keys = (ctypes.c_char_p * 3)(*[k.encode() for k in params])
values = (ctypes.c_char_p * 3)(*[str(v).encode() for v in params.values()])
c_camera = library.realcam_camera_create(ctypes.c_void_p(lens), 640, 480, keys, values, 3, None)
o = np.empty((n, 3), np.float32)
d = np.empty((n, 3), np.float32)
w = np.empty(n, np.float32)


def c_generate():
    library.realcam_camera_generate(ctypes.c_void_p(c_camera), ctypes.c_size_t(n), samples.ctypes.data_as(P),
                                    o.ctypes.data_as(P), d.ctypes.data_as(P), w.ctypes.data_as(P))


def median_seconds(f, runs=7):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


python_s = median_seconds(lambda: camera.generate(samples))
c_s = median_seconds(c_generate)
assert np.array_equal(camera.generate(samples)[2], w)
print("1 M samples: Camera.generate %.3f s, C realcam_camera_generate %.3f s: %.2fx (goal <= 1.25x)"
      % (python_s, c_s, python_s / c_s))
