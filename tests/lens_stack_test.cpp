// SPDX-License-Identifier: Apache-2.0
// Loading prescription files into a lens stack, and the stack's small
// operations.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "tests/test_files.h"

namespace {

LensStack Load(const std::string& contents, const std::string& name = "lens.dat") {
  return LensStack(WriteTestFile(name, contents));
}

// The message of the LensError that loading `contents` throws.
std::string LoadError(const std::string& contents, const std::string& name = "bad.dat") {
  const std::string path = WriteTestFile(name, contents);
  try {
    LensStack stack(path);
  } catch (const LensError& e) {
    // Name the file as the test wrote it, without the temporary folder.
    const std::string message = e.what();
    const std::string folder = path.substr(0, path.size() - name.size());
    return message.rfind(folder, 0) == 0 ? message.substr(folder.size()) : message;
  }
  return "(loaded without error)";
}

// Loose bound for values the worked example gives to two decimals.
constexpr float kTwoDecimals = 0.005f;

}  // namespace

TEST(LensStack, LoadsTheFiveSurfaceExample) {
  const LensStack stack = Load(kFiveSurfaceLens);
  const auto& s = stack.GetInterfaces();
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(stack.GetIndexOfStop(), 2);
  EXPECT_EQ(stack.GetLensDepth(), 15.f);
  EXPECT_EQ(stack.GetFrontElementDiameter(), 30.f);
  EXPECT_EQ(stack.GetBackElementDiameter(), 24.f);

  const float zintercept[] = {0, 5, 8, 11, 15};
  const float center[] = {35, -195, 8, -29, 75};
  const float index[] = {1.6f, 1, 1, 1.6f, 1};
  const float zmin[] = {-35, 199.44f, 8, 38.16f, -60};
  const float zmax[] = {-31.62f, 200, 8, 40, -58.79f};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s[i].GetAxisIntercept(), zintercept[i]);
    EXPECT_EQ(s[i].GetCenter(), center[i]);
    EXPECT_EQ(s[i].GetIndexOfRefractionPosZ(), index[i]);
    EXPECT_NEAR(s[i].GetZMin(), zmin[i], kTwoDecimals);
    EXPECT_NEAR(s[i].GetZMax(), zmax[i], kTwoDecimals);
  }
  EXPECT_TRUE(s[2].IsStop());
  EXPECT_TRUE(s[0].IsConcaveTowardsPosZ());
  EXPECT_FALSE(s[1].IsConcaveTowardsPosZ());
}

TEST(LensStack, SetApertureDiameterChangesOnlyTheStop) {
  LensStack stack = Load(kFiveSurfaceLens);
  stack.SetApertureDiameter(7.5f);
  EXPECT_EQ(stack.GetInterfaces()[2].GetDiameter(), 7.5f);
  EXPECT_EQ(stack.GetInterfaces()[2].GetZMin(), 8.f);
  EXPECT_EQ(stack.GetInterfaces()[2].GetZMax(), 8.f);
  EXPECT_EQ(stack.GetInterfaces()[1].GetDiameter(), 30.f);
  // Any value is accepted for the stop.
  stack.SetApertureDiameter(1e9f);
  EXPECT_EQ(stack.GetInterfaces()[2].GetDiameter(), 1e9f);

  LensStack first = Load("0\t2\t0\t10\n20\t3\t1.5\t10\n");
  EXPECT_EQ(first.GetIndexOfStop(), 0);
  first.SetApertureDiameter(4.f);
  EXPECT_EQ(first.GetInterfaces()[0].GetDiameter(), 4.f);
}

TEST(LensStack, SkipRulesAndColumnSeparators) {
  const LensStack stack = Load(
      "# a comment\n"
      " 10\t1\t1.5\t4\n"          // leading space: skipped although it holds numbers
      "\t10\t1\t1.5\t4\n"         // leading tab: skipped
      "\n"
      "20\t\t2\t\t1.5\t\t8\n"     // runs of tabs are one separator
      "0\t3\t0\t6  stop here\n"   // text after the fourth number is ignored
      "-20\t5\t1\t8\t# extra\n");
  const auto& s = stack.GetInterfaces();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].GetRadius(), 20.f);
  EXPECT_EQ(s[0].GetIndexOfRefractionPosZ(), 1.5f);
  EXPECT_EQ(s[1].GetDiameter(), 6.f);
  EXPECT_EQ(s[2].GetDiameter(), 8.f);
  // The first vertex is at 0; the last axpos places nothing.
  EXPECT_EQ(s[1].GetAxisIntercept(), 2.f);
  EXPECT_EQ(stack.GetLensDepth(), 5.f);
}

TEST(LensStack, StopIndexRule) {
  const LensStack stack = Load("0\t1\t0\t5\n20\t1\t0\t5\n");
  EXPECT_EQ(stack.GetInterfaces()[0].GetIndexOfRefractionPosZ(), 1.f);  // stop, 0 -> 1
  EXPECT_EQ(stack.GetInterfaces()[1].GetIndexOfRefractionPosZ(), 0.f);  // glass keeps 0
  const LensStack glass_stop = Load("0\t1\t1.5\t5\n");
  EXPECT_EQ(glass_stop.GetInterfaces()[0].GetIndexOfRefractionPosZ(), 1.5f);
}

// The running vertex position is a float sum: 0.1 added ten times is not 1.
TEST(LensStack, VertexPositionsAreAFloatRunningSum) {
  std::string text = "0\t0.1\t1\t1\n";
  for (int i = 0; i < 10; ++i) text += "1e6\t0.1\t1\t1\n";
  const LensStack stack = Load(text);
  float sum = 0.f;
  for (int i = 0; i < 10; ++i) sum = sum + 0.1f;
  EXPECT_EQ(stack.GetLensDepth(), sum);
  EXPECT_NE(stack.GetLensDepth(), 1.f);
}

TEST(LensStack, TitleLineBecomesAStopAndARealStopThenFails) {
  const LensStack title = Load("Double\tGauss\tlens\tdesign\n20\t1\t1.5\t4\n");
  EXPECT_EQ(title.GetIndexOfStop(), 0);
  EXPECT_EQ(title.GetInterfaces()[0].GetIndexOfRefractionPosZ(), 1.f);
  EXPECT_EQ(title.GetInterfaces()[0].GetDiameter(), 0.f);

  const std::string message = LoadError("Title\tof\tthe\tlens\n0\t1\t0\t4\n", "title.dat");
  EXPECT_NE(message.find("title.dat:2: a second aperture stop (radius 0); a prescription has exactly one "
                         "(line 1 was read as a stop: its fields are not numbers) "
                         "[realistic: condition \"index_of_stop == -1\" failed in "
                         "LensStack::LensStack(const std::string&)"),
            std::string::npos)
      << message;
}

TEST(LensStack, ApertureOfExactlyTwiceTheRadiusIsAccepted) {
  const LensStack stack = Load("10\t1\t1.5\t20\n-10\t1\t1\t20\n0\t1\t1\t5\n");
  EXPECT_EQ(stack.GetInterfaces()[0].GetZMax(), 0.f);
  EXPECT_TRUE(std::signbit(stack.GetInterfaces()[0].GetZMax()));
  EXPECT_EQ(stack.GetInterfaces()[1].GetZMin(), 0.f);
}

TEST(LensStack, CapConditionsFailWithFileAndLine) {
  std::string message = LoadError("# wide\n10\t1\t1.5\t20.01\n", "wide.dat");
  EXPECT_NE(message.find("wide.dat:2: clear aperture 20.01 is wider than the sphere allows "
                         "(2 x |radius| = 20) [realistic: condition \"0.5f * d <= fabs(r)\" failed in "
                         "void LensInterface::SetDiameter(float)"),
            std::string::npos)
      << message;
  // A negative aperture wider than the sphere leaves the cap out of order.
  message = LoadError("10\t1\t1.5\t-30\n", "negative.dat");
  EXPECT_NE(message.find("negative.dat:1: clear aperture -30 leaves the surface no cap; a negative "
                         "aperture must be no wider than 2 x |radius| = 20 [realistic: condition "
                         "\"zmin <= zmax\""),
            std::string::npos)
      << message;
}

TEST(LensStack, ConditionsCarryTheirParts) {
  try {
    LensStack stack(WriteTestFile("two-stops.dat", "0\t1\t1\t4\n0\t1\t1\t4\n"));
    FAIL() << "a second stop loaded";
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "index_of_stop == -1");
    EXPECT_EQ(e.Source(), "realistic");
    EXPECT_EQ(e.Operation(), "LensStack::LensStack(const std::string&)");
    EXPECT_NE(e.Context().find("two-stops.dat:2"), std::string::npos);
  }
}

TEST(LensStack, FilesWithoutDataLinesGiveAnEmptyStack) {
  EXPECT_TRUE(Load("# only\n\n# comments\n").GetInterfaces().empty());
  EXPECT_TRUE(Load("").GetInterfaces().empty());
}

TEST(LensStack, LineEndings) {
  // No newline after the last line: it is still read.
  EXPECT_EQ(Load("20\t1\t1.5\t4\n0\t1\t1\t4").GetInterfaces().size(), 2u);
  // CRLF loads exactly as LF; a lone CR line is an empty line.
  const LensStack lf = Load(kFiveSurfaceLens, "lf.dat");
  std::string crlf_text;
  for (char c : std::string(kFiveSurfaceLens)) {
    if (c == '\n') crlf_text += '\r';
    crlf_text += c;
  }
  const LensStack crlf = Load(crlf_text + "\r\n", "crlf.dat");
  ASSERT_EQ(crlf.GetInterfaces().size(), lf.GetInterfaces().size());
  for (size_t i = 0; i < lf.GetInterfaces().size(); ++i) {
    EXPECT_EQ(crlf.GetInterfaces()[i].GetDiameter(), lf.GetInterfaces()[i].GetDiameter());
    EXPECT_EQ(crlf.GetInterfaces()[i].GetZMax(), lf.GetInterfaces()[i].GetZMax());
  }
}

TEST(LensStack, RejectsLinesLongerThan511Characters) {
  const std::string ok = "20\t1\t1.5\t4" + std::string(511 - 10, ' ');
  ASSERT_EQ(ok.size(), 511u);
  EXPECT_EQ(Load(ok + "\n").GetInterfaces().size(), 1u);
  EXPECT_EQ(Load(ok + "\r\n").GetInterfaces().size(), 1u);
  const std::string message = LoadError("# fine\n" + ok + " \n", "long.dat");
  EXPECT_EQ(message, "long.dat:2: line is longer than 511 characters");
  // An over-long comment is rejected too: it would otherwise be read as a
  // comment and a data line.
  EXPECT_NE(LoadError("#" + std::string(600, 'x') + "\n").find(":1: line is longer"),
            std::string::npos);
}

TEST(LensStack, MissingColumnsAreNamed) {
  EXPECT_EQ(LoadError("20\t1\t1.5\n", "short.dat"),
            "short.dat:1: column 4 (aperture) is missing; columns are separated by tabs");
  EXPECT_EQ(LoadError("20\t1\t1.5\t\n", "short.dat"),
            "short.dat:1: column 4 (aperture) is missing; columns are separated by tabs");
  EXPECT_EQ(LoadError("# spaces\n20 1 1.5 4\n", "spaces.dat"),
            "spaces.dat:2: column 2 (thickness) is missing; columns are separated by tabs");
  EXPECT_EQ(LoadError("20\t1\n", "short.dat"),
            "short.dat:1: column 3 (index) is missing; columns are separated by tabs");
}

TEST(LensStack, NonNumbersReadAsZeroButNonFiniteValuesAreRejected) {
  const LensStack stack = Load("abc\t1\t1.5\t4\n");  // radius reads as 0: a stop
  EXPECT_EQ(stack.GetIndexOfStop(), 0);
  EXPECT_EQ(LoadError("20\t1\tnan\t4\n", "nan.dat"),
            "nan.dat:1: column 3 (index) is not a finite number");
  // A radius spelt "inf" is a plane; one that only overflows is refused.
  EXPECT_EQ(LoadError("1e39\t1\t1\t4\n", "inf.dat"),
            "inf.dat:1: column 1 (radius) is not a finite number");
  EXPECT_EQ(LoadError("inf\t1\t1\t4\n", "inf.dat"), "(loaded without error)");
  EXPECT_EQ(LoadError("20\t1e39\t1\t4\n", "big.dat"),
            "big.dat:1: column 2 (thickness) is not a finite number");
}

TEST(LensStack, BinaryAndUnreadableFilesAreRejected) {
  const std::string binary("20\t1\0\t1.5\t4\n", 12);
  EXPECT_NE(LoadError(binary, "binary.dat").find("binary.dat:1: the line holds a NUL byte"),
            std::string::npos);
  const std::string folder = WriteTestFile("probe", "");
  const std::string dir = folder.substr(0, folder.rfind('/'));
  try {
    LensStack stack(dir);
    FAIL() << "a directory loaded as a lens";
  } catch (const LensError& e) {
    EXPECT_NE(std::string(e.what()).find(":1: read error: Is a directory"), std::string::npos)
        << e.what();
  }
}

TEST(LensStack, UnopenableFileThrowsTheMessage) {
  for (const std::string path : {"/nonexistent/lens.dat", ""}) {
    try {
      LensStack stack(path);
      FAIL() << "opened " << path;
    } catch (const LensError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot open file " + path);
    }
  }
}

TEST(LensStack, SampleBackElementStaysInTheBackDisc) {
  const LensStack stack = Load(kFiveSurfaceLens);
  const Point centre = stack.SampleBackElement(0.5f, 0.5f);
  EXPECT_EQ(centre.x, 0.f);
  EXPECT_EQ(centre.y, 0.f);
  EXPECT_EQ(centre.z, 15.f);
  for (float u : {0.f, 0.3f, 0.99f})
    for (float v : {0.f, 0.7f, 0.999f}) {
      const Point p = stack.SampleBackElement(u, v);
      EXPECT_EQ(p.z, stack.GetLensDepth());
      EXPECT_LE(std::hypot(p.x, p.y), 12.f * (1 + 1e-6f));
    }
  const Point rim = stack.SampleBackElement(1.f, 0.5f);
  EXPECT_FLOAT_EQ(rim.x, 12.f);
}

// Numbers in messages and tool output: the fewest digits that read back
// to the same float, in fixed notation unless the exponent form is
// shorter.
TEST(NumberText, FewestDigitsInTheShorterNotation) {
  EXPECT_EQ(ShortestFloat(30.f), "30");
  EXPECT_EQ(ShortestFloat(1600.f), "1600");
  EXPECT_EQ(ShortestFloat(0.0012f), "0.0012");
  EXPECT_EQ(ShortestFloat(1e-07f), "1e-07");
  EXPECT_EQ(ShortestFloat(1e20f), "1e+20");
  EXPECT_EQ(ShortestFloat(56.20238f), "56.20238");
  EXPECT_EQ(ShortestFloat(-2500.f), "-2500");
  EXPECT_EQ(ShortestFloat(123456792.f), "123456792");
  uint32_t bits = 12345;
  for (int i = 0; i < 100000; ++i) {
    bits = bits * 1664525u + 1013904223u;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    EXPECT_EQ(std::strtof(ShortestFloat(v).c_str(), nullptr), v) << ShortestFloat(v);
  }
}
