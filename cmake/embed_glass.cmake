# SPDX-License-Identifier: Apache-2.0
# Writes the glass catalogue (CSV) as a C++ source holding its text:
#   cmake -DCSV=catalogue.csv -DOUT=glass_catalogue_data.cpp -P embed_glass.cmake
file(READ "${CSV}" text)
file(WRITE "${OUT}" "// Generated from ${CSV}; see data/glass/README.md for its source and licence.\n"
                    "extern const char kGlassCatalogueCsv[];\n"
                    "const char kGlassCatalogueCsv[] = R\"csv(${text})csv\";\n")
