// SPDX-License-Identifier: Apache-2.0
// A minimal camera plug-in for the load-time boundary test: it derives
// from the host's Camera, calls the host's Severe and ConcentricSampleDisk,
// and leaves all of them to be resolved from the loading program.
#include "core/camera.h"
#include "core/paramset.h"

namespace {

class StubCamera : public Camera {
 public:
  StubCamera(const Transform& w2c, Film* film, float weight)
      : Camera(w2c, 0.f, 1.f, 0.f, 1.f, film), weight(weight) {}
  float GenerateRay(const Sample& sample, Ray* ray) const override {
    float x, y;
    ConcentricSampleDisk(sample.lensU, sample.lensV, &x, &y);
    Ray r(Point(x, y, 0.f), Vector(0.f, 0.f, 1.f));
    CameraToWorld(r, ray);
    return weight;
  }

 private:
  float weight;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) Camera* CreateCamera(const ParamSet& params,
                                                                      const Transform& world2cam,
                                                                      Film* film) {
  const float weight = params.FindOneFloat("weight", 1.f);
  if (weight < 0.f) Severe("stub: weight %g is negative", weight);
  return new StubCamera(world2cam, film, weight);
}
