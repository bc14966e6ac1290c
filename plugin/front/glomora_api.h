#pragma once
// The callbacks the host calls by name: the main operator Glomora and the
// transfer operators that sit on its output polygon mesh. Each returns a
// CStatus and never throws.

#include <cstddef>
#include <cstdint>

#include "xsi_operator.h"
#include "xsi_status.h"

#define GLOMORA_CALLBACK extern "C" __attribute__((visibility("default")))

// Main operator: creates, evaluates (output "OutParameter") and destroys the
// per-instance state.
GLOMORA_CALLBACK XSI::CStatus Glomora_Init(XSI::UpdateContext& context);
GLOMORA_CALLBACK XSI::CStatus Glomora_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus Glomora_Term(XSI::UpdateContext& context);

// Transfer operators: copy the main operator's latest result into the host's
// mesh ("Outpolymsh"), user normals ("OutUser_Normal_Property") and UVs
// ("OutTexture_Projection"). The dummy does nothing.
GLOMORA_CALLBACK XSI::CStatus GlomoraGeometrySet_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus GlomoraNormalsSet_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus GlomoraUVspaceSet_Update(XSI::UpdateContext& context, XSI::OutputPort& output);
GLOMORA_CALLBACK XSI::CStatus GlomoraGeometryDummy_Update(XSI::UpdateContext& context, XSI::OutputPort& output);

// Version text of the plug-in, "MAJOR.MINOR.PATCH".
GLOMORA_CALLBACK const char* Glomora_Version();

// The cache file the plug-in writes in Mode 2 and reads in Mode 3 for frame
// `frame` when "Cache_filename" holds `cacheFilename` (UTF-8), so that a host
// can find the files: copies the name (UTF-8, "/" as separator) with its
// terminating zero into `path` when `size` leaves room for both, and returns
// its length either way; returns 0 when the plug-in rejects the name (it
// then reads and writes no cache file at all) or memory ran out.
GLOMORA_CALLBACK size_t Glomora_CacheFilePath(const char* cacheFilename, int32_t frame, char* path, size_t size);
