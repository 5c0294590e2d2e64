// The rows' states beside the list file: they come back with the very list file they were saved
// with, and not once that file has been written again.
#include "paths/list_states.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace sonquarry;
namespace fs = std::filesystem;

namespace {

const TNodeState Saved[] = {nsUnreached, nsKnown, nsInaccessible, nsNew};

void Fill(TWNetTree &T) {
  for (const char *Name : {"a.mp3", "b.mp3", "c.mp3", "d.mp3"})
    T.AddFile("W", "\\\\PC\\music", Name);
}

TEST(ListStates, ComeBackWithTheirListAndNotWithALaterOne) {
  const fs::path Dir =
      fs::temp_directory_path() / ("list_states_test." + std::to_string(std::random_device{}()));
  fs::create_directories(Dir);
  const std::string List = (Dir / "Sonquarry.lst").string();
  std::ofstream(List, std::ios::binary) << "the list as saved";
  {
    TWNetTree T;
    Fill(T);
    for (int I = 0; I < T.Count(); ++I) T.File(I).SetState(Saved[I]);
    ASSERT_TRUE(SaveListStates(List, T));
  }
  TWNetTree Back;
  Fill(Back);
  ASSERT_TRUE(LoadListStates(List, Back));
  for (int I = 0; I < Back.Count(); ++I) EXPECT_EQ(Back.File(I).State(), Saved[I]) << I;

  std::ofstream(List, std::ios::binary | std::ios::trunc) << "the list saved by another";
  TWNetTree Later;
  Fill(Later);
  const TNodeState Fresh = Later.File(0).State();
  EXPECT_FALSE(LoadListStates(List, Later));
  for (int I = 0; I < Later.Count(); ++I) EXPECT_EQ(Later.File(I).State(), Fresh) << I;
  fs::remove_all(Dir);
}

} // namespace
