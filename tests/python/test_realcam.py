# SPDX-License-Identifier: Apache-2.0
"""The Python module against the program a user already trusts: the same
rays as the plug-in (through `realcam rays`, which loads realistic.so as a
host does), the same traces as `realcam trace`, and errors that leave the
interpreter running."""
import os
import subprocess

import numpy as np
import pytest

import realcam

PROGRAM = os.environ.get("REALCAM_PROGRAM", "realcam")


def run(args, stdin):
    result = subprocess.run([PROGRAM] + args, input=stdin, capture_output=True, text=True, check=True)
    return result.stdout.split("\n")[:-1]


def grid_samples(width, height, n):
    k = np.arange(n)
    return np.stack([(k % width) + 0.37, (k // width % height) + 0.61,
                     (k * 37 % 1009) / 1009.0, (k * 59 % 1013) / 1013.0], axis=1).astype(np.float32)


@pytest.mark.parametrize("params", [
    {"aperture_diameter": 18, "focusdistance": 5000},
    {"aperture_diameter": 9, "focusdistance": 2000, "sampling": "exitpupil", "precision": "double"},
])
def test_generate_is_the_plugins_rays_bit_for_bit(params):
    lens = realcam.Lens("planar-50mm-f2")
    camera = realcam.Camera(lens, 64, 48, **params)
    samples = grid_samples(64, 48, 400)
    origins, directions, weights = camera.generate(samples)
    text = "".join("%r %r %r %r\n" % tuple(float(v) for v in s) for s in samples)
    flags = ["rays", "planar-50mm-f2", "--res", "64x48"]
    for key, value in params.items():
        flags += ["--param", "%s=%s" % (key, value)]
    lines = run(flags, text)
    assert len(lines) == len(samples)
    printed = np.array([[float(v) for v in line.split()] for line in lines], dtype=np.float32)
    # The program prints the shortest decimal that reads back to each float.
    assert np.array_equal(printed[:, 0:3], origins)
    assert np.array_equal(printed[:, 3:6], directions)
    assert np.array_equal(printed[:, 9], weights)
    assert 0.2 < np.mean(weights > 0) < 1


def test_trace_matches_the_trace_command():
    lens = realcam.Lens("double-gauss-100mm-f2")
    heights = np.linspace(-30, 30, 13)
    origins = np.stack([np.zeros_like(heights), heights, np.full_like(heights, -200.0)], axis=1)
    directions = np.tile([0.0, 0.01, 1.0], (len(heights), 1))
    for precision in ("float", "double"):
        out_o, out_d, blocked = lens.trace(origins, directions, precision=precision)
        text = "".join("%r %r %r %r %r %r\n" % (*o, *d) for o, d in zip(origins, directions))
        lines = run(["trace", "double-gauss-100mm-f2", "--from", "world", "--precision", precision], text)
        for line, o, d, b in zip(lines, out_o, out_d, blocked):
            if line == "blocked":
                assert b
                continue
            assert not b
            v = np.array([float(x) for x in line.split()])
            if precision == "float":
                # The same float trace: the same floats.
                assert np.array_equal(v.astype(np.float32), np.concatenate([o, d]).astype(np.float32))
            else:
                # The command rounds the double trace to floats.
                assert np.allclose(v[:3], o, rtol=1e-6, atol=1e-5)
                assert np.allclose(v[3:], d, rtol=0, atol=1e-6)
        assert 3 <= np.sum(~blocked) < len(heights)


def test_errors_are_exceptions_and_the_interpreter_goes_on():
    with pytest.raises(realcam.Error, match="Cannot open file /nonexistent/lens.dat"):
        realcam.Lens("/nonexistent/lens.dat")
    lens = realcam.Lens("planar-50mm-f2")
    with pytest.raises(realcam.Error, match='"filmdiag" is -35'):
        realcam.Camera(lens, 64, 48, filmdiag=-35)
    with pytest.raises(realcam.Error, match='"filmdistance" is given as text'):
        realcam.Camera(lens, 64, 48, filmdistance="far")
    with pytest.raises(ValueError, match='"nosuchkey"'):
        realcam.Camera(lens, 64, 48, nosuchkey=1)
    with pytest.raises(ValueError, match="shape"):
        realcam.Camera(lens, 64, 48).generate(np.zeros((3, 2)))
    # Still alive, and still working.
    assert abs(lens.focal_length - 52.03) < 0.01


def test_info_has_the_info_commands_keys():
    info = realcam.Lens("planar-50mm-f2").info()
    import json
    expected = json.loads(run(["info", "planar-50mm-f2", "--json"], "")[0])
    assert list(info.keys()) == list(expected.keys())
    assert info["f_number"] == pytest.approx(expected["f_number"])


def test_a_lens_from_zmx_text_renders():
    here = os.path.dirname(__file__)
    zmx = os.path.join(here, "..", "fuzz_corpus_zmx", "planar.zmx")
    with open(zmx, encoding="latin-1") as f:
        lens = realcam.Lens.from_text(f.read(), "zmx", "planar.zmx")
    camera = realcam.Camera(lens, 32, 24, focusdistance=3000, aperture_diameter=lens.stop_diameter)
    _, directions, weights = camera.generate(grid_samples(32, 24, 768))
    assert np.mean(weights > 0) > 0.2
    assert np.allclose(np.linalg.norm(directions[weights > 0], axis=1), 1, atol=1e-6)
    assert camera.center_weight() > 0
