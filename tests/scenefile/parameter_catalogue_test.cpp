// The catalogue describes every parameter it lists, and a selector's codes
// are exactly the values a scene may give it.

#include <gtest/gtest.h>

#include <set>

#include "parameter_catalogue.h"

namespace {

TEST(ParameterCatalogue, EveryParameterIsDescribedAndEveryCodeOfASelectorMeansSomething) {
  std::vector<ParameterSpec> all = OperatorParameters();
  for (const ParameterSpec& spec : PrimitiveParameters()) all.push_back(spec);
  for (const ParameterSpec& spec : all) EXPECT_FALSE(spec.meaning.empty()) << spec.name;
  for (const char* name : {"Space", "Polygonization", "Grid_space", "Mode", "Blending_model"}) {
    const ParameterSpec* spec = FindOperatorParameter(name);
    ASSERT_NE(spec, nullptr) << name;
    std::set<int32_t> accepted, codes;
    for (const AcceptedInterval& interval : spec->accepted) {
      for (double v = interval.low; v <= interval.high; ++v) accepted.insert(static_cast<int32_t>(v));
    }
    for (const ParameterCode& code : spec->codes) {
      EXPECT_FALSE(code.meaning.empty()) << name << " " << code.value;
      codes.insert(code.value);
    }
    EXPECT_EQ(codes, accepted) << name;
    EXPECT_EQ(codes.size(), spec->codes.size()) << name << " lists a code twice";
  }
}

TEST(ParameterCatalogue, ReferenceShowsEveryParameterAndCode) {
  const std::string reference = ParameterReference();
  for (const ParameterSpec& spec : OperatorParameters()) {
    EXPECT_NE(reference.find("\n### " + spec.name + "\n"), std::string::npos) << spec.name;
    for (const ParameterCode& code : spec.codes) {
      EXPECT_NE(reference.find("- " + std::to_string(code.value) + ": " + std::string(code.meaning)), std::string::npos)
          << spec.name << " " << code.value;
    }
  }
}

}  // namespace
