#pragma once
// Resets the stand-in scene when constructed. Declare it as a fixture's first
// member so the scene is empty before later members (a GlomoraRig) add objects.

#include "host/host_scene.h"

struct FreshScene {
  FreshScene() { XSI::Host::Scene::Get().Reset(); }
};
