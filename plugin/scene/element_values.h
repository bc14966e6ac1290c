#pragma once
// ElementValues: per-element values gathered beside the elements (a
// particle's velocity, any per-point attribute the host asks to carry to the
// mesh), in the elements' order.

#include <cstdint>
#include <string>
#include <vector>

// The velocity's channel name: a point's own attribute "v" plus the motion of
// its transform; for primitives the motion alone.
inline constexpr char kVelocityChannel[] = "v";
// The per-point attribute that multiplies a point element's radius.
inline constexpr char kRadiusScaleAttribute[] = "radius_scale";

struct ElementChannel {
  std::string name;
  int32_t components = 0;     // values per element; 0 while no source has given the attribute
  std::vector<float> values;  // element k's at values[k * components + c]
};

struct ElementValues {
  std::vector<ElementChannel> channels;

  // Channels named `names` (in that order), no values yet.
  void Start(const std::vector<std::string>& names) {
    channels.clear();
    for (const std::string& name : names) channels.push_back(ElementChannel{name, 0, {}});
  }
  void Clear() { channels.clear(); }
  const ElementChannel* Find(const std::string& name) const {
    for (const ElementChannel& channel : channels) {
      if (channel.name == name) return &channel;
    }
    return nullptr;
  }
};
