// The catalogue describes every parameter it lists, and a selector's codes
// are exactly the values a scene may give it.

#include <gtest/gtest.h>

#include <set>

#include "parameter_catalogue.h"

namespace {

TEST(ParameterCatalogue, EveryParameterIsDescribedAndEveryCodeOfASelectorMeansSomething) {
  std::vector<ParameterSpec> all = OperatorParameters();
  for (const ParameterSpec& entry : PrimitiveParameters()) all.push_back(entry);
  for (const ParameterSpec& entry : all) EXPECT_FALSE(entry.meaning.empty()) << entry.name;
  for (const char* name : {"Space", "Polygonization", "Grid_space", "Mode", "Blending_model"}) {
    const ParameterSpec* entry = FindOperatorParameter(name);
    ASSERT_NE(entry, nullptr) << name;
    std::set<int32_t> accepted, codes;
    for (const AcceptedInterval& interval : entry->accepted) {
      for (double v = interval.low; v <= interval.high; ++v) accepted.insert(static_cast<int32_t>(v));
    }
    for (const ParameterCode& code : entry->codes) {
      EXPECT_FALSE(code.meaning.empty()) << name << " " << code.value;
      codes.insert(code.value);
    }
    EXPECT_EQ(codes, accepted) << name;
    EXPECT_EQ(codes.size(), entry->codes.size()) << name << " lists a code twice";
  }
}

TEST(ParameterCatalogue, ReferenceShowsEveryParameterAndCode) {
  const std::string reference = ParameterReference();
  for (const ParameterSpec& entry : OperatorParameters()) {
    EXPECT_NE(reference.find("\n### " + entry.name + "\n"), std::string::npos) << entry.name;
    for (const ParameterCode& code : entry.codes) {
      EXPECT_NE(reference.find("- " + std::to_string(code.value) + ": " + std::string(code.meaning)), std::string::npos)
          << entry.name << " " << code.value;
    }
  }
}

}  // namespace
