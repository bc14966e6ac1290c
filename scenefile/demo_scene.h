#pragma once
// The built-in demo scene of `glomora demo`.

#include <string_view>

// Scene file text (JSON) of the demo: a particle cloud falling past a sphere
// and a tilted cylinder onto a cube with a bowl carved by a negatively scaled
// sphere, polygonized in Space 0 with viscosity.
std::string_view DemoSceneText();
