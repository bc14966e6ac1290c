"""The add-on's data on Blender objects: a Glomora object's settings (the
operator's parameters, its source collection, its bake) and each source
object's kind."""

import re

import bpy

from . import catalogue as catalogue_module

# The catalogue the parameters were made from (None: the module was not found).
CATALOGUE = None


def _remesh(self, context):
    from . import ops
    obj = self.id_data
    if getattr(obj, "glomora", None) is not None and obj.glomora.active:
        ops.update_object(obj, context.scene, context.evaluated_depsgraph_get())


def _parameter_property(entry):
    low, high = catalogue_module.bounds(entry)
    common = {"name": entry["name"], "description": catalogue_module.description(entry), "default": entry["default"],
              "update": _remesh}
    if entry["kind"] == "bool":
        return bpy.props.BoolProperty(**common)
    if entry["kind"] == "text":
        return bpy.props.StringProperty(subtype="FILE_PATH" if "filename" in entry["name"] else "NONE", **common)
    limits = {}
    if low is not None:
        limits["min"] = int(low) if entry["kind"] == "int" else low
    if high is not None:
        limits["max"] = int(high) if entry["kind"] == "int" else high
    if entry["kind"] == "int":
        return bpy.props.IntProperty(**common, **limits)
    return bpy.props.FloatProperty(precision=4, **common, **limits)


class GlomoraSourceSettings(bpy.types.PropertyGroup):
    kind: bpy.props.EnumProperty(
        name="Glomora source",
        items=[("AUTO", "Automatic", "Mesh vertices, point cloud points and particles become point clouds"),
               ("SPHERE", "Sphere", "A sphere primitive with this object's pose"),
               ("CUBE", "Cube", "A cube primitive with this object's pose"),
               ("CYLINDER", "Cylinder", "A cylinder primitive with this object's pose"),
               ("IGNORE", "Ignore", "Not a source")],
        default="AUTO", update=None)
    radius: bpy.props.FloatProperty(name="radius", default=1.0, min=0.0, description="Scene files' \"radius\"")
    length: bpy.props.FloatProperty(name="length", default=2.0, min=0.0, description="Scene files' \"length\"")
    height: bpy.props.FloatProperty(name="height", default=2.0, min=0.0, description="Scene files' \"height\"")
    subtractive: bpy.props.BoolProperty(name="Subtractive", default=False,
                                        description="The primitive carves the surface (a negative scaling)")


def _settings_class(catalogue):
    annotations = {}
    for entry in catalogue or []:
        annotations[entry["name"]] = _parameter_property(entry)
    return type("GlomoraParameters", (bpy.types.PropertyGroup,), {"__annotations__": annotations})


class GlomoraSettings(bpy.types.PropertyGroup):
    active: bpy.props.BoolProperty(name="Glomora object", default=False)
    source_collection: bpy.props.PointerProperty(
        name="Sources", type=bpy.types.Collection, update=_remesh,
        description="The collection whose objects are this object's sources")
    error: bpy.props.StringProperty(name="Error")
    bake_folder: bpy.props.StringProperty(name="Folder", subtype="DIR_PATH", default="//glomora_bake",
                                          description="Where the bake writes its files")
    bake_format: bpy.props.EnumProperty(
        name="Files", default="PLY",
        items=[("PLY", "PLY files", "One binary PLY file per frame"),
               ("USD", "PLY files and one USD file", "Also the whole range as one USD text layer")])
    bake_first: bpy.props.IntProperty(name="First", default=1)
    bake_last: bpy.props.IntProperty(name="Last", default=250)
    baked_first: bpy.props.IntProperty(default=0)
    baked_last: bpy.props.IntProperty(default=-1)
    play_bake: bpy.props.BoolProperty(name="Play back the bake", default=True, update=_remesh,
                                      description="Frames of the baked range come from its files")

    def scene_name(self):
        """The object's name as scene files take it."""
        return re.sub(r"[^A-Za-z0-9_-]", "_", self.id_data.name) or "glomora"


_classes = []


def register(catalogue):
    global CATALOGUE
    CATALOGUE = catalogue
    parameters = _settings_class(catalogue)
    GlomoraSettings.__annotations__["parameters"] = bpy.props.PointerProperty(type=parameters)
    _classes[:] = [GlomoraSourceSettings, parameters, GlomoraSettings]
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.types.Object.glomora = bpy.props.PointerProperty(type=GlomoraSettings)
    bpy.types.Object.glomora_source = bpy.props.PointerProperty(type=GlomoraSourceSettings)


def unregister():
    del bpy.types.Object.glomora_source
    del bpy.types.Object.glomora
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
    _classes.clear()
