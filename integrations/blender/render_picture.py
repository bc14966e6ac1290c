"""The README's picture of the add-on: a frame meshed by a Glomora object in
Blender, rendered headless with Cycles on the CPU.

    blender -b --factory-startup --python integrations/blender/render_picture.py -- ADDON.zip OUT.png

(`make blender-picture`.) Particles fall from an emitter past a sphere
primitive (an empty marked "Sphere") onto a cube primitive; the Glomora
object meshes them in Space 1 with its normals as custom normals."""
import math
import os
import sys
import tempfile

import bpy

ZIP, OUT = sys.argv[sys.argv.index("--") + 1:]

os.environ.setdefault("BLENDER_USER_SCRIPTS", tempfile.mkdtemp())
bpy.ops.preferences.addon_install(filepath=os.path.abspath(ZIP))
bpy.ops.preferences.addon_enable(module="glomora_blender")

for obj in list(bpy.data.objects):
    bpy.data.objects.remove(obj)
scene = bpy.context.scene
scene.frame_start, scene.frame_end = 1, 24
scene.frame_set(1)

# 1) the sources: particles, a sphere and a cube
bpy.ops.mesh.primitive_ico_sphere_add(radius=0.25, location=(-0.3, 0.0, 1.3))
emitter = bpy.context.object
# The emitter's own mesh is not drawn; its particles stay in the render's
# evaluation, which remeshes the frame again.
emitter.show_instancer_for_render = False
emitter.modifiers.new("spray", "PARTICLE_SYSTEM")
spray = emitter.particle_systems[0].settings
spray.count, spray.frame_start, spray.frame_end, spray.lifetime = 600, 1, 6, 100
spray.normal_factor, spray.object_align_factor[0] = 0.3, 0.6
spray.render_type = "NONE"
bpy.ops.object.empty_add(type="SPHERE", location=(0.35, 0.1, 0.45))
ball = bpy.context.object
ball.glomora_source.kind, ball.glomora_source.radius = "SPHERE", 0.35
bpy.ops.object.empty_add(type="CUBE", location=(0.0, 0.0, -0.35))
block = bpy.context.object
block.glomora_source.kind, block.glomora_source.length = "CUBE", 1.1

# 2) the Glomora object
bpy.ops.glomora.add()
blob = bpy.context.object
for source in (emitter, ball, block):
    blob.glomora.source_collection.objects.link(source)
parameters = blob.glomora.parameters
parameters.Space, parameters.Particle_size, parameters.JB_voxelsize = 1, 0.09, 0.02
material = bpy.data.materials.new("Glomora")
material.use_nodes = True
shader = material.node_tree.nodes["Principled BSDF"]
shader.inputs["Base Color"].default_value = (0.12, 0.35, 0.8, 1.0)
shader.inputs["Roughness"].default_value = 0.25
blob.data.materials.append(material)
scene.frame_set(14)
if blob.glomora.error:
    raise RuntimeError(blob.glomora.error)

# 3) light, floor, camera and Cycles on the CPU
bpy.ops.mesh.primitive_plane_add(size=12, location=(0, 0, -0.9))
bpy.ops.object.light_add(type="SUN", rotation=(math.radians(40), math.radians(15), math.radians(30)))
bpy.context.object.data.energy = 3.0
world = scene.world or bpy.data.worlds.new("World")
scene.world = world
world.use_nodes = True
world.node_tree.nodes["Background"].inputs["Strength"].default_value = 0.6
bpy.ops.object.camera_add(location=(3.2, -3.6, 2.0), rotation=(math.radians(68), 0, math.radians(42)))
scene.camera = bpy.context.object
scene.render.engine = "CYCLES"
scene.cycles.device = "CPU"
scene.cycles.samples = 64
scene.cycles.use_denoising = False
scene.render.resolution_x, scene.render.resolution_y, scene.render.resolution_percentage = 560, 350, 100
scene.render.image_settings.file_format = "PNG"
scene.render.image_settings.color_mode = "RGB"
scene.render.image_settings.compression = 100
scene.render.filepath = os.path.abspath(OUT)
bpy.ops.render.render(write_still=True)
print("glomora: rendered frame 14 of the add-on's scene: %d vertices -> %s" % (len(blob.data.vertices), OUT))
