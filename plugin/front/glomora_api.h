#pragma once
// The callbacks the host calls by name: the main operator Glomora and the
// transfer operators that sit on its output polygon mesh. Each returns a
// CStatus and never throws.

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

// Threads the plug-in may use for its work, the calling thread included.
// The default, 1, starts no thread: every callback runs on the caller's
// thread. Above 1, an evaluation spreads its work over that many threads
// (oneTBB) and returns when all are done; the results are byte-identical
// whatever the count. Counts below 1 are taken as 1, above 1024 as 1024;
// returns the count in effect. Applies to every instance; call it between
// evaluations, never during one.
GLOMORA_CALLBACK int Glomora_SetThreadCount(int count);

// Version text of the plug-in, "MAJOR.MINOR.PATCH".
GLOMORA_CALLBACK const char* Glomora_Version();
