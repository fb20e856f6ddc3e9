// SPDX-License-Identifier: Apache-2.0
#include "render/image_io.h"

#include <unistd.h>

#include <png.h>

#include <ImfRgbaFile.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

void WritePng(const std::string& path, const Image& image) {
  std::string bytes(size_t(image.width) * size_t(image.height) * 3, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(EncodeSrgb(image.rgb[i]));
  WritePngBytes(path, image.width, image.height, bytes);
}

void WriteExr(const std::string& path, const Image& image) {
  std::vector<Imf::Rgba> pixels(size_t(image.width) * size_t(image.height));
  for (size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = Imf::Rgba(image.rgb[3 * i], image.rgb[3 * i + 1], image.rgb[3 * i + 2], 1.f);
  try {
    Imf::RgbaOutputFile file(path.c_str(), image.width, image.height, Imf::WRITE_RGBA);
    file.setFrameBuffer(pixels.data(), 1, size_t(image.width));
    file.writePixels(image.height);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot write \"" + path + "\": " + e.what());
  }
}

}  // namespace

unsigned char EncodeSrgb(float linear) {
  const float v = std::isfinite(linear) ? std::min(1.f, std::max(0.f, linear)) : 0.f;
  const float s = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.f / 2.4f) - 0.055f;
  return static_cast<unsigned char>(std::lround(s * 255.f));
}

void WritePngBytes(const std::string& path, int width, int height, const std::string& rgb) {
  std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "wb"));
  if (!f) throw std::runtime_error("cannot write \"" + path + "\": " + std::strerror(errno));
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("cannot write \"" + path + "\": out of memory");
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("cannot write \"" + path + "\": libpng failed");
  }
  png_init_io(png, f.get());
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y)
    png_write_row(png, reinterpret_cast<png_const_bytep>(rgb.data() + size_t(y) * size_t(width) * 3));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (fflush(f.get()) != 0) throw std::runtime_error("cannot write \"" + path + "\"");
}

bool ReadPng(const std::string& path, int* width, int* height, std::string* rgb) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  rgb->assign(PNG_IMAGE_SIZE(image), '\0');
  if (!png_image_finish_read(&image, nullptr, &(*rgb)[0], 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  *width = int(image.width);
  *height = int(image.height);
  return true;
}

void CheckWritable(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path parent = fs::path(path).parent_path();
  const fs::path folder = parent.empty() ? fs::path(".") : parent;
  std::error_code ec;
  if (!fs::exists(folder, ec))
    throw std::runtime_error("cannot write \"" + path + "\": the folder \"" + folder.string() + "\" does not exist");
  if (!fs::is_directory(folder, ec))
    throw std::runtime_error("cannot write \"" + path + "\": \"" + folder.string() + "\" is not a folder");
  if (fs::is_directory(path, ec)) throw std::runtime_error("cannot write \"" + path + "\": it is a folder");
  const bool exists = fs::exists(path, ec);
  if (access((exists ? path : folder.string()).c_str(), W_OK) != 0)
    throw std::runtime_error("cannot write \"" + path + "\": " + (exists ? "the file" : "its folder") +
                             " is not writable");
}

void MakeParentDirectories(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  if (ec) throw std::runtime_error("cannot create directory \"" + parent.string() + "\": " + ec.message());
}

void CheckImageName(const std::string& path) {
  if (!EndsWith(path, ".png") && !EndsWith(path, ".exr"))
    throw std::runtime_error("cannot write \"" + path + "\": the name must end in .png or .exr");
}

void WriteImage(const std::string& path, const Image& image) {
  CheckImageName(path);
  if (EndsWith(path, ".png"))
    WritePng(path, image);
  else
    WriteExr(path, image);
}
