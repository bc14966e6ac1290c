#pragma once
// The tile list Glomora_GetFieldTiles hands out, kept with the instance
// until its field next changes.

#include <cstdint>
#include <vector>

#include "front/glomora_api.h"

struct FieldTileList {
  uint64_t version = 0;                 // GridPolygonizer::fieldVersion it was made at; 0: none
  std::vector<GlomoraFieldTile> tiles;  // ascending tile index
  std::vector<float> copies;            // dense lattices: the listed tiles' values, 512 a tile
};
