"""Glomora in Blender: a mesh object remeshed from its sources on every frame
change by the Python module `glomora`, in Blender's own process.

The module must be importable from Blender's Python (Debian's Blender runs
Debian's Python 3.11, for which the module is built): installed with `make
install`, or found through the folders the add-on's zip was built with
(_module_path.py), GLOMORA_PYTHONPATH, or the add-on's preference."""

bl_info = {
    "name": "Glomora",
    "author": "Glomora",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "Properties > Object > Glomora; Add > Mesh > Glomora",
    "description": "Metaball surfaces of particles, points and primitives, remeshed on frame change",
    "category": "Object",
}

import importlib
import os
import sys

import bpy

_module = None
_module_error = None


def glomora_module():
    """The glomora module; ImportError with the reason when it cannot be imported."""
    global _module, _module_error
    if _module is not None:
        return _module
    folders = []
    try:
        preferences = bpy.context.preferences.addons[__name__].preferences
        folders.append(bpy.path.abspath(preferences.module_folder))
    except (KeyError, AttributeError):
        pass
    folders += [f for f in os.environ.get("GLOMORA_PYTHONPATH", "").split(os.pathsep) if f]
    try:
        from . import _module_path
        folders += _module_path.FOLDERS
    except ImportError:
        pass
    try:
        _module = importlib.import_module("glomora")
    except ImportError:
        for folder in folders:
            if folder and os.path.isfile(os.path.join(folder, "glomora", "__init__.py")) and folder not in sys.path:
                sys.path.append(folder)
        try:
            _module = importlib.import_module("glomora")
        except ImportError as e:
            _module_error = "the Python module glomora cannot be imported (%s); searched %s" % (
                e, ", ".join(folders) or "only Blender's own paths")
            raise ImportError(_module_error) from e
    return _module


from . import ops, properties, ui  # noqa: E402  (they need glomora_module above)


class GlomoraPreferences(bpy.types.AddonPreferences):
    bl_idname = __name__
    module_folder: bpy.props.StringProperty(
        name="Module folder", subtype="DIR_PATH",
        description="A folder holding the glomora package (a build tree's python/, or an install's "
                    "lib/python3.11/dist-packages), when Blender's Python does not find it by itself")

    def draw(self, context):
        self.layout.prop(self, "module_folder")


def register():
    bpy.utils.register_class(GlomoraPreferences)
    catalogue = None
    try:
        catalogue = glomora_module().parameter_catalogue()
    except ImportError:
        pass  # the panel says why
    properties.register(catalogue)
    ops.register()
    ui.register()


def unregister():
    ui.unregister()
    ops.unregister()
    properties.unregister()
    bpy.utils.unregister_class(GlomoraPreferences)
