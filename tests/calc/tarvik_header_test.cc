// The record layouts are checked by the static_asserts of calc/tarvik.h; this
// checks what the built library offers the loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "calc/tarvik.h"
#include "tests/support/run_program.h"

TEST(TarvikLibrary, ExportsExactlyTheSixFunctions) {
  ProgramRun nm = RunProgram("/usr/bin/nm", {"-D", "--defined-only", TARVIK_LIBRARY});
  ASSERT_EQ(nm.exitStatus, 0) << nm.err;
  std::vector<std::string> exported;
  std::istringstream lines(nm.out);
  std::string address, type, name;
  while (lines >> address >> type >> name)
    if (type == "T") exported.push_back(name);
  std::sort(exported.begin(), exported.end());
  EXPECT_EQ(exported, (std::vector<std::string>{"Tarvik_Compute", "Tarvik_Init", "Tarvik_InitDevice",
                                                "Tarvik_InitLine", "Tarvik_PushSideData", "Tarvik_SetOnLog"}));
}

TEST(TarvikLibrary, ProgramLinksItByNameBesideItself) {
  ProgramRun readelf = RunProgram("/usr/bin/readelf", {"-d", KORVANET_BINARY});
  ASSERT_EQ(readelf.exitStatus, 0) << readelf.err;
  EXPECT_NE(readelf.out.find("Shared library: [libtarvik.so]"), std::string::npos) << readelf.out;
  EXPECT_NE(readelf.out.find("(RUNPATH)"), std::string::npos) << readelf.out;
  EXPECT_NE(readelf.out.find("Library runpath: [$ORIGIN]"), std::string::npos) << readelf.out;
  ProgramRun soname = RunProgram("/usr/bin/readelf", {"-d", TARVIK_LIBRARY});
  EXPECT_NE(soname.out.find("Library soname: [libtarvik.so]"), std::string::npos) << soname.out;
}
