"""The panels: a Glomora object's settings (Properties > Object > Glomora)
and a source object's kind (Properties > Object > Glomora source)."""

import bpy

from . import catalogue, properties


class GLOMORA_PT_object(bpy.types.Panel):
    bl_label = "Glomora"
    bl_space_type = "PROPERTIES"
    bl_region_type = "WINDOW"
    bl_context = "object"

    @classmethod
    def poll(cls, context):
        return context.object is not None and context.object.type == "MESH" and context.object.glomora.active

    def draw(self, context):
        layout = self.layout
        settings = context.object.glomora
        if properties.CATALOGUE is None:
            from . import glomora_module
            try:
                glomora_module()
                message = "the glomora module was found after the add-on started: enable the add-on again"
            except ImportError as e:
                message = str(e)
            box = layout.box()
            box.alert = True
            box.label(text=message, icon="ERROR")
            return
        if settings.error:
            box = layout.box()
            box.alert = True
            for i, line in enumerate(_wrap(settings.error, 70)):
                box.label(text=line, icon="ERROR" if i == 0 else "BLANK1")
        layout.prop(settings, "source_collection")
        layout.operator("glomora.simulate", icon="PLAY")
        for title, entries in catalogue.grouped(properties.CATALOGUE):
            box = layout.box()
            box.label(text=title)
            column = box.column(align=True)
            for entry in entries:
                column.prop(settings.parameters, entry["name"])
        box = layout.box()
        box.label(text="Bake")
        box.prop(settings, "bake_folder")
        box.prop(settings, "bake_format")
        row = box.row(align=True)
        row.prop(settings, "bake_first")
        row.prop(settings, "bake_last")
        row = box.row(align=True)
        row.operator("glomora.bake", icon="FILE_TICK")
        row.operator("glomora.clear_bake")
        if settings.baked_last >= settings.baked_first:
            box.prop(settings, "play_bake", text="Play back frames %d to %d from the files"
                     % (settings.baked_first, settings.baked_last))


class GLOMORA_PT_source(bpy.types.Panel):
    bl_label = "Glomora source"
    bl_space_type = "PROPERTIES"
    bl_region_type = "WINDOW"
    bl_context = "object"
    bl_options = {"DEFAULT_CLOSED"}

    @classmethod
    def poll(cls, context):
        return context.object is not None and not (context.object.type == "MESH" and context.object.glomora.active)

    def draw(self, context):
        settings = context.object.glomora_source
        layout = self.layout
        layout.prop(settings, "kind")
        if settings.kind in ("SPHERE", "CYLINDER"):
            layout.prop(settings, "radius")
        if settings.kind == "CUBE":
            layout.prop(settings, "length")
        if settings.kind == "CYLINDER":
            layout.prop(settings, "height")
        if settings.kind in ("SPHERE", "CUBE", "CYLINDER"):
            layout.prop(settings, "subtractive")


def _wrap(text, width):
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = (line + " " + word).strip()
    return lines + [line]


_classes = [GLOMORA_PT_object, GLOMORA_PT_source]


def register():
    for cls in _classes:
        bpy.utils.register_class(cls)


def unregister():
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
