#include "scene_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(CacheFolder, IsTheFolderTheCacheFilesGoToWhenARunWritesThem) {
  struct Case {
    std::vector<const char*> sets;
    const char* folder;
  };
  const Case cases[] = {
      {{"Space=0", "Mode=2", "Cache_filename=/sim\\cache/blob.0012.grd"}, "/sim/cache"},
      {{"Space=0", "Mode=2", "Cache_filename=/blob"}, ""},
      {{"Space=0", "Mode=1", "Cache_filename=/sim/blob"}, ""},
      {{"Space=1", "Mode=2", "Cache_filename=/sim/blob"}, ""},
      {{"Space=0", "Mode=2"}, ""},
  };
  for (const Case& c : cases) {
    SceneDescription scene;
    std::string error;
    for (const char* set : c.sets) ASSERT_TRUE(ApplyParameterOverride(set, "/", scene, error)) << error;
    SCOPED_TRACE(c.sets.back());
    ScenePlan plan;
    ASSERT_TRUE(PlanScene(scene, std::nullopt, std::nullopt, plan, error)) << error;
    EXPECT_EQ(plan.cacheFolder, c.folder);
  }
}

}  // namespace
