#include "demo_scene.h"

std::string_view DemoSceneText() {
  static constexpr std::string_view kText = R"json({
  "comment": "glomora demo: a particle cloud falls past a sphere and a tilted cylinder onto a cube whose top is carved by a negatively scaled sphere. Space 0 (voxel grid) with viscosity, so the surface trails the particles. Run it again with --set Space=1 for the continuation polygonizer.",
  "name": "demo",
  "frames": [1, 24],
  "parameters": {
    "Space": 0,
    "Mode": 1,
    "Start_frame": 1,
    "Blending_model": 1,
    "Size_X": 6, "Size_Y": 6, "Size_Z": 6,
    "Resolution_X": 48, "Resolution_Y": 48, "Resolution_Z": 48,
    "JB_voxelsize": 0.1,
    "Viscosity": 2.0,
    "Isovalue": 1.0,
    "Particle_size": 0.6,
    "User_normals": true,
    "UVspace": true
  },
  "transform": {"translation": [0, 0, 0]},
  "sources": [
    {
      "type": "cloud",
      "name": "rain",
      "comment": "36 particles that fall from y = 2.3 at frame 1 to y = 0.1 at frame 24",
      "transform": {"translation": {"keys": [[1, [0.1, 1.9, 0]], [24, [0.1, 0.1, 0]]]}},
      "points": [
        [-0.19, -0.54, 0.17], [-0.47, 0.06, -0.15], [-0.08, 0.5, -0.41], [0.08, -0.16, 0.52],
        [0.35, -0.49, 0.09], [0.15, -0.2, 0.05], [0.2, -0.11, -0.2], [0.09, -0.07, -0.22],
        [0.32, 0.31, -0.28], [0.08, 0.04, 0.41], [-0.42, -0.13, 0.28], [0.19, 0.41, 0.08],
        [0.41, -0.29, 0.21], [0.1, 0.12, -0.05], [0.37, 0.68, -0.03], [0.18, -0.68, 0.22],
        [-0.24, -0.18, 0.19], [-0.41, -0.39, -0.12], [0.41, -0.65, -0.06], [0.05, 0.59, 0.35],
        [0.4, -0.34, -0.09], [-0.29, -0.02, 0.1], [-0.26, -0.76, -0.09], [-0.14, 0.1, 0.5],
        [0.21, 0.02, 0.13], [-0.12, -0.16, -0.44], [-0.32, -0.52, -0.18], [-0.27, -0.24, -0.15],
        [-0.04, -0.02, -0.46], [-0.44, -0.24, -0.26], [0.05, -0.73, 0.03], [-0.26, -0.21, -0.37],
        [0.3, 0.05, 0.31], [-0.19, -0.43, 0.34], [0.35, 0.37, -0.3], [0.02, -0.22, -0.52]
      ]
    },
    {"type": "sphere", "name": "ball", "radius": 0.55, "transform": {"translation": [-0.85, 0.9, 0]}},
    {
      "type": "cylinder", "name": "post", "radius": 0.3, "height": 2.2,
      "transform": {"translation": [1.0, 0.6, 0.1], "rotation": [0, 0, 35]}
    },
    {"type": "cube", "name": "block", "length": 1.8, "transform": {"translation": [0, -1.6, 0]}},
    {
      "type": "sphere", "name": "bowl", "radius": 0.6,
      "comment": "negative scaling makes this sphere subtract from the field",
      "transform": {"translation": [0, -0.75, 0], "scaling": [-1, -1, -1]}
    }
  ]
}
)json";
  return kText;
}
