// SPDX-License-Identifier: Apache-2.0
// The Python module `realcam`, on the C interface: lenses and cameras as
// Python objects, rays as numpy arrays, errors as exceptions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "capi/realcam.h"

namespace py = pybind11;

namespace {

// realcam.Error for what the library refuses; ValueError for arguments.
py::object& ErrorType() {
  static py::object type;
  return type;
}

[[noreturn]] void Raise() {
  const std::string message = realcam_last_error();
  if (realcam_last_status() == REALCAM_ERROR_ARGUMENT) throw py::value_error(message);
  PyErr_SetString(ErrorType().ptr(), message.c_str());
  throw py::error_already_set();
}

void Check(realcam_status status) {
  if (status != REALCAM_OK) Raise();
}

class Lens {
 public:
  explicit Lens(realcam_lens* lens) : handle(lens, realcam_lens_free) {
    if (!lens) Raise();
  }
  static Lens Open(const std::string& name) { return Lens(realcam_lens_open(name.c_str())); }
  static Lens FromText(const std::string& text, const std::string& format, const std::string& name) {
    return Lens(realcam_lens_from_text(text.c_str(), format.c_str(), name.c_str()));
  }
  const realcam_lens* get() const { return handle.get(); }

  std::string Name() const { return realcam_lens_name(get()); }
  std::string Prescription() const { return realcam_lens_prescription(get()); }
  std::string Warnings() const { return realcam_lens_warnings(get()); }
  double Get(realcam_status (*query)(const realcam_lens*, double*)) const {
    double v = 0;
    Check(query(get(), &v));
    return v;
  }
  py::object Info() const {
    char* text = realcam_lens_info_json(get());
    if (!text) Raise();
    const std::string json(text);
    realcam_string_free(text);
    return py::module_::import("json").attr("loads")(json);
  }
  py::tuple ImageCircle() const {
    double lit = 0, half = 0;
    Check(realcam_lens_image_circle(get(), &lit, &half));
    return py::make_tuple(lit, half);
  }
  double Focus(double distance, py::object aperture) const {
    double film = 0;
    Check(realcam_lens_focus(get(), distance, aperture.is_none() ? -1.0 : aperture.cast<double>(), &film));
    return film;
  }
  double StopForFNumber(double n) const {
    double d = 0;
    Check(realcam_lens_stop_for_f_number(get(), n, &d));
    return d;
  }
  py::tuple Trace(py::array_t<double, py::array::c_style | py::array::forcecast> origins,
                  py::array_t<double, py::array::c_style | py::array::forcecast> directions, py::object wavelength,
                  const std::string& precision, const std::string& start) const {
    if (origins.ndim() != 2 || origins.shape(1) != 3 || directions.ndim() != 2 || directions.shape(1) != 3 ||
        origins.shape(0) != directions.shape(0))
      throw py::value_error("origins and directions must be arrays of the same shape (N, 3)");
    if (precision != "float" && precision != "double")
      throw py::value_error("precision must be \"float\" or \"double\"");
    if (start != "world" && start != "film") throw py::value_error("start must be \"world\" or \"film\"");
    const size_t n = size_t(origins.shape(0));
    py::array_t<double> out_o({py::ssize_t(n), py::ssize_t(3)}), out_d({py::ssize_t(n), py::ssize_t(3)});
    py::array_t<bool> blocked{py::ssize_t(n)};
    std::vector<unsigned char> status(n);
    const double nm = wavelength.is_none() ? 0.0 : wavelength.cast<double>();
    realcam_status result;
    {
      const double *o = origins.data(), *d = directions.data();
      double *oo = out_o.mutable_data(), *od = out_d.mutable_data();
      py::gil_scoped_release release;
      result = realcam_lens_trace(get(), start == "world" ? REALCAM_FROM_WORLD : REALCAM_FROM_FILM,
                                  precision == "double" ? REALCAM_DOUBLE : REALCAM_FLOAT, nm, n, o, d, oo, od,
                                  status.data());
    }
    Check(result);
    bool* b = blocked.mutable_data();
    for (size_t i = 0; i < n; ++i) b[i] = status[i] != 1;
    return py::make_tuple(out_o, out_d, blocked);
  }

 private:
  std::shared_ptr<realcam_lens> handle;
};

class Camera {
 public:
  Camera(const Lens& lens, int width, int height, py::object camera_to_world, py::kwargs params)
      : handle(nullptr, realcam_camera_free) {
    std::vector<std::string> keys, values;
    for (auto item : params) {
      keys.push_back(py::str(item.first));
      py::handle v = item.second;
      values.push_back(py::isinstance<py::str>(v) ? v.cast<std::string>() : std::string(py::str(py::float_(py::reinterpret_borrow<py::object>(v)))));
    }
    std::vector<const char*> k, val;
    for (size_t i = 0; i < keys.size(); ++i) k.push_back(keys[i].c_str()), val.push_back(values[i].c_str());
    std::vector<float> m;
    if (!camera_to_world.is_none()) {
      auto a = camera_to_world.cast<py::array_t<float, py::array::c_style | py::array::forcecast>>();
      if (a.size() != 16) throw py::value_error("camera_to_world must be a 4x4 matrix");
      m.assign(a.data(), a.data() + 16);
    }
    realcam_camera* c = realcam_camera_create(lens.get(), width, height, k.data(), val.data(), k.size(),
                                              m.empty() ? nullptr : m.data());
    if (!c) Raise();
    handle.reset(c);
  }

  py::tuple Generate(py::array_t<float, py::array::c_style | py::array::forcecast> samples) const {
    if (samples.ndim() != 2 || samples.shape(1) != 4)
      throw py::value_error("samples must be an array of shape (N, 4): raster x, raster y, lens u, lens v");
    const size_t n = size_t(samples.shape(0));
    py::array_t<float> origins({py::ssize_t(n), py::ssize_t(3)}), directions({py::ssize_t(n), py::ssize_t(3)});
    py::array_t<float> weights{py::ssize_t(n)};
    realcam_status result;
    {
      const float* s = samples.data();
      float *o = origins.mutable_data(), *d = directions.mutable_data(), *w = weights.mutable_data();
      py::gil_scoped_release release;
      result = realcam_camera_generate(handle.get(), n, s, o, d, w);
    }
    Check(result);
    return py::make_tuple(origins, directions, weights);
  }
  double CenterWeight() const {
    double w = 0;
    Check(realcam_camera_center_weight(handle.get(), &w));
    return w;
  }
  py::tuple Film() const {
    double w = 0, h = 0, z = 0;
    Check(realcam_camera_film(handle.get(), &w, &h, &z));
    return py::make_tuple(w, h, z);
  }

 private:
  std::unique_ptr<realcam_camera, void (*)(realcam_camera*)> handle;
};

}  // namespace

PYBIND11_MODULE(realcam, m) {
  m.doc() = "Real multi-element lenses for renderers and lens work: lenses, their traces and cameras.";
  ErrorType() = py::reinterpret_steal<py::object>(PyErr_NewException("realcam.Error", PyExc_RuntimeError, nullptr));
  m.attr("Error") = ErrorType();
  m.attr("__version__") = realcam_version();

  py::class_<Lens>(m, "Lens", "A lens: a prescription file, a .zmx or patent table, or a bundled lens's name.")
      .def(py::init(&Lens::Open), py::arg("name_or_path"))
      .def_static("from_text", &Lens::FromText, py::arg("text"), py::arg("format") = "dat",
                  py::arg("name") = "<text>", "A lens from text: format \"dat\", \"zmx\" or \"patent\".")
      .def_property_readonly("name", &Lens::Name)
      .def_property_readonly("prescription", &Lens::Prescription)
      .def_property_readonly("warnings", &Lens::Warnings)
      .def_property_readonly("focal_length", [](const Lens& l) { return l.Get(realcam_lens_focal_length); },
                             "paraxial effective focal length, lens units")
      .def_property_readonly("f_number", [](const Lens& l) { return l.Get(realcam_lens_f_number); },
                             "paraxial f-number at the prescription's stop")
      .def_property_readonly("stop_diameter", [](const Lens& l) { return l.Get(realcam_lens_stop_diameter); })
      .def("info", &Lens::Info, "What `realcam info --json` prints, as a dict.")
      .def("image_circle", &Lens::ImageCircle, "(lit, half_light) image circle diameters at infinity focus.")
      .def("focus", &Lens::Focus, py::arg("distance"), py::arg("aperture") = py::none(),
           "Film distance that focuses an object `distance` in front of the lens (best focus).")
      .def("stop_for_f_number", &Lens::StopForFNumber, py::arg("n"))
      .def("trace", &Lens::Trace, py::arg("origins"), py::arg("directions"), py::arg("wavelength") = py::none(),
           py::arg("precision") = "double", py::arg("start") = "world",
           "Traces (N, 3) rays in lens space from the world side (or start=\"film\"); returns the leaving "
           "origins, unit directions and a blocked mask.");

  py::class_<Camera>(m, "Camera", "A realistic camera: Camera(lens, width, height, **plug-in parameters).")
      .def(py::init<const Lens&, int, int, py::object, py::kwargs>(), py::arg("lens"), py::arg("width"),
           py::arg("height"), py::kw_only(), py::arg("camera_to_world") = py::none())
      .def("generate", &Camera::Generate, py::arg("samples"),
           "(N, 4) samples (raster x, raster y, lens u, lens v) -> origins (N, 3), directions (N, 3), weights (N,)")
      .def("center_weight", &Camera::CenterWeight)
      .def_property_readonly("film", &Camera::Film, "(width, height, filmdistance) in lens units");
}
