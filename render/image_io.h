// SPDX-License-Identifier: Apache-2.0
// Writing and reading the renderer's images: 8-bit sRGB PNG through libpng,
// linear half-float RGBA OpenEXR.
#pragma once

#include <string>

#include "render/renderer.h"

// Creates the directories above `path` that do not exist yet, so that
// "-o renders/today/a.png" works on a fresh checkout. Throws
// std::runtime_error naming the directory on failure.
void MakeParentDirectories(const std::string& path);
// Throws, naming the path and why, unless a file can be written there: its
// folder exists (none is made) and the file or the folder is writable.
void CheckWritable(const std::string& path);

// Throws unless the name ends in .png or .exr; checked before a render
// rather than after it.
void CheckImageName(const std::string& path);

// Chooses the format by the extension (.png or .exr). Throws
// std::runtime_error naming the file on failure.
void WriteImage(const std::string& path, const Image& image);

// Reads an 8-bit RGB PNG (as written by WriteImage) back as sRGB bytes;
// for the tests' reference images.
bool ReadPng(const std::string& path, int* width, int* height, std::string* rgb);
void WritePngBytes(const std::string& path, int width, int height, const std::string& rgb);

unsigned char EncodeSrgb(float linear);
