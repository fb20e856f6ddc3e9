// SPDX-License-Identifier: Apache-2.0
// A plug-in built as its own shared object binds the host's symbols from
// the program that loads it.
#include <gtest/gtest.h>

#include "core/error.h"
#include "tests/plugin.h"

TEST(PluginBoundary, StubCameraWorksThroughTheBaseClass) {
  CreateCameraFn create = LoadCreateCamera(STUB_CAMERA_SO);
  ASSERT_NE(create, nullptr);
  Film film(10, 10);
  ParamSet ps;
  ps.AddFloat("weight", 0.5f);
  Camera* cam = create(ps, Translate(Vector(0.f, 0.f, -5.f)), &film);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->film, &film);
  Sample s;
  s.lensU = 1.f;
  s.lensV = 0.5f;
  Ray ray;
  EXPECT_EQ(cam->GenerateRay(s, &ray), 0.5f);
  // The host's ConcentricSampleDisk put the point on the rim; the host's
  // transform moved it back to the world.
  EXPECT_FLOAT_EQ(ray.o.x, 1.f);
  EXPECT_EQ(ray.o.z, 5.f);
  delete cam;  // through the base: the plug-in's destructor runs
}

TEST(PluginBoundary, PluginCallsTheHostsSevere) {
  CreateCameraFn create = LoadCreateCamera(STUB_CAMERA_SO);
  ASSERT_NE(create, nullptr);
  ScopedSevereRecorder severe;
  Film film(1, 1);
  ParamSet ps;
  ps.AddFloat("weight", -1.f);
  delete create(ps, Transform(), &film);
  ASSERT_EQ(severe.Messages().size(), 1u);
  EXPECT_EQ(severe.Messages()[0], "stub: weight -1 is negative");
}
