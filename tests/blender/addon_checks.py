"""Checks of the Blender add-on, run inside Blender headless:

    blender -b --factory-startup --python-exit-code 1 --python addon_checks.py -- ZIP CHECK FOLDER TOOL

installs the add-on from ZIP, enables it and runs CHECK (a function below)
in FOLDER; any failure raises, which ends Blender with status 1."""
import os
import subprocess
import sys

import bpy
import numpy as np

ZIP, CHECK, FOLDER, TOOL = sys.argv[sys.argv.index("--") + 1:]


def enable():
    bpy.ops.preferences.addon_install(filepath=ZIP)
    bpy.ops.preferences.addon_enable(module="glomora_blender")
    assert "glomora_blender" in bpy.context.preferences.addons
    import glomora
    return glomora


def particle_scene(count=150, **parameters):
    """An emitter with a particle system falling from frame 1, and a Glomora object whose sources
    are the emitter's particles, with `parameters` set."""
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj)
    scene = bpy.context.scene
    scene.frame_start, scene.frame_end = 1, 6
    scene.frame_set(1)
    bpy.ops.mesh.primitive_ico_sphere_add(radius=0.3, location=(0.1, -0.05, 0.2))
    emitter = bpy.context.object
    emitter.name = "Emitter"
    emitter.modifiers.new("particles", "PARTICLE_SYSTEM")
    settings = emitter.particle_systems[0].settings
    settings.count, settings.frame_start, settings.frame_end, settings.lifetime = count, 1, 1, 100
    settings.normal_factor = 0.4
    bpy.ops.glomora.add()
    glomora_obj = bpy.context.object
    glomora_obj.glomora.source_collection.objects.link(emitter)
    for name, value in parameters.items():
        setattr(glomora_obj.glomora.parameters, name, value)
    return glomora_obj, emitter


def particles_at(emitter, frame):
    """The emitter's living particles at `frame`, as Blender holds them (float32)."""
    bpy.context.scene.frame_set(frame)
    psys = emitter.evaluated_get(bpy.context.evaluated_depsgraph_get()).particle_systems[0]
    points = np.empty(len(psys.particles) * 3, np.float32)
    psys.particles.foreach_get("location", points)
    alive = np.array([p.alive_state == "ALIVE" for p in psys.particles])
    return points.reshape(-1, 3)[alive]


def blender_mesh(obj):
    """Vertices (float32), polygon sizes and vertex indices of a Blender mesh."""
    mesh = obj.data
    vertices = np.empty(len(mesh.vertices) * 3, np.float32)
    mesh.vertices.foreach_get("co", vertices)
    counts = np.empty(len(mesh.polygons), np.int32)
    mesh.polygons.foreach_get("loop_total", counts)
    indices = np.empty(len(mesh.loops), np.int32)
    mesh.loops.foreach_get("vertex_index", indices)
    return vertices.reshape(-1, 3), counts, indices


def assert_same_mesh(obj, mesh):
    vertices, counts, indices = blender_mesh(obj)
    assert obj.glomora.error == "", obj.glomora.error
    assert len(vertices) > 0
    assert vertices.tobytes() == np.ascontiguousarray(mesh.vertices, np.float32).tobytes()
    assert counts.tolist() == mesh.face_counts.tolist()
    assert indices.tolist() == mesh.face_indices.tolist()


def write_points(path, points):
    with open(path, "wb") as f:
        f.write(("ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
                 "property float z\nend_header\n" % len(points)).encode())
        f.write(points.astype("<f4").tobytes())


def check_enables():
    glomora = enable()
    glomora_obj, _ = particle_scene()
    parameters = glomora_obj.glomora.parameters
    for name, default in glomora.parameter_defaults().items():
        value = getattr(parameters, name)
        assert value == default or np.float32(value) == np.float32(default), (name, value, default)
    assert hasattr(bpy.types, "GLOMORA_PT_object") and hasattr(bpy.ops.glomora, "bake")


def check_particles_mesh_as_the_module_does():
    glomora = enable()
    parameters = dict(Space=1, Particle_size=0.12, UVspace=True)
    glomora_obj, emitter = particle_scene(**parameters)
    points = particles_at(emitter, 4)
    bpy.context.scene.frame_set(4)
    mesh = glomora.surface(points, **parameters)
    assert_same_mesh(glomora_obj, mesh)
    uvs = np.empty(len(glomora_obj.data.loops) * 2, np.float32)
    glomora_obj.data.uv_layers["UVMap"].data.foreach_get("uv", uvs)
    assert uvs.tobytes() == np.ascontiguousarray(mesh.uvs, np.float32).tobytes()
    # The custom normals point as the module's do.
    glomora_obj.data.calc_normals_split()
    normals = np.empty(len(glomora_obj.data.loops) * 3, np.float32)
    glomora_obj.data.loops.foreach_get("normal", normals)
    expected = np.asarray(mesh.normals) / np.linalg.norm(mesh.normals, axis=1)[:, None]
    assert (np.einsum("ij,ij->i", normals.reshape(-1, 3), expected) > 0.9999).all()


def check_stepping_frames_carries_the_field():
    glomora = enable()
    parameters = dict(Space=0, Viscosity=1.5, Particle_size=0.12, Resolution_X=32, Resolution_Y=32,
                      Resolution_Z=32, Size_X=2.0, Size_Y=2.0, Size_Z=2.0)
    glomora_obj, emitter = particle_scene(**parameters)
    # The same points through the module: one file per frame, frames evaluated in order.
    for frame in range(1, 5):
        write_points(os.path.join(FOLDER, "p.%04d.ply" % frame), particles_at(emitter, frame))
    reference = glomora.Scene({"name": "reference", "frames": [1, 4], "parameters": parameters,
                               "sources": [{"type": "cloud", "name": "p", "file": FOLDER + "/p.####.ply"}]})
    meshes = {frame: reference.evaluate(frame) for frame in range(1, 5)}
    for frame in range(1, 5):
        bpy.context.scene.frame_set(frame)
        assert_same_mesh(glomora_obj, meshes[frame])
    # The field was carried: frame 4 alone is another surface.
    alone = glomora.surface(particles_at(emitter, 4), **parameters)
    bpy.context.scene.frame_set(4)
    assert blender_mesh(glomora_obj)[0].tobytes() != np.ascontiguousarray(alone.vertices).tobytes()
    # Jumping back simulates again from "Start_frame".
    bpy.context.scene.frame_set(2)
    assert_same_mesh(glomora_obj, meshes[2])


def check_particle_velocity_and_size_are_carried():
    # Particles of random sizes: each one's size over the system's is its
    # "radius_attribute", its velocity over the frame rate its
    # "velocity_attribute"; the mesh is the module's for the same file, and
    # its "velocity" attribute the module's "v".
    glomora = enable()
    parameters = dict(Space=1, Particle_size=0.12)
    glomora_obj, emitter = particle_scene(**parameters)
    settings = emitter.particle_systems[0].settings
    settings.particle_size, settings.size_random = 0.5, 0.6
    bpy.context.scene.render.fps = 25
    bpy.context.scene.frame_set(4)
    psys = emitter.evaluated_get(bpy.context.evaluated_depsgraph_get()).particle_systems[0]
    n = len(psys.particles)
    columns = {k: np.empty(n * w, np.float32) for k, w in (("location", 3), ("velocity", 3), ("size", 1))}
    for k, values in columns.items():
        psys.particles.foreach_get(k, values)
    alive = np.array([p.alive_state == "ALIVE" for p in psys.particles])
    scale = (columns["size"][alive].astype(np.float64) / np.float32(0.5)).astype(np.float32)
    assert scale.min() < 0.9
    velocity = (columns["velocity"].reshape(-1, 3)[alive].astype(np.float64) / 25.0).astype(np.float32)
    table = np.hstack([columns["location"].reshape(-1, 3)[alive], scale[:, None], velocity]).astype("<f4")
    with open(os.path.join(FOLDER, "p.ply"), "wb") as f:
        f.write(("ply\nformat binary_little_endian 1.0\nelement vertex %d\n" % len(table) + "".join(
            "property float %s\n" % c for c in ("x", "y", "z", "pscale", "vx", "vy", "vz")) + "end_header\n").encode())
        f.write(table.tobytes())
    reference = glomora.Scene({"name": "reference", "frames": [4, 4], "parameters": parameters, "sources": [
        {"type": "cloud", "name": "p", "file": FOLDER + "/p.ply", "radius_attribute": "pscale",
         "velocity_attribute": "v"}]}).evaluate(4)
    assert_same_mesh(glomora_obj, reference)
    carried = np.empty(len(glomora_obj.data.vertices) * 3, np.float32)
    glomora_obj.data.attributes["velocity"].data.foreach_get("vector", carried)
    assert carried.tobytes() == np.ascontiguousarray(reference.attributes["v"], np.float32).tobytes()
    assert np.abs(carried).max() > 0


def check_bake_writes_the_files_of_glomora_run():
    enable()
    glomora_obj, _ = particle_scene(Space=1, Particle_size=0.12, User_normals=True)
    settings = glomora_obj.glomora
    settings.bake_folder = os.path.join(FOLDER, "bake")
    settings.bake_format = "USD"
    settings.bake_first, settings.bake_last = 2, 4
    assert bpy.ops.glomora.bake() == {"FINISHED"}, settings.error
    name = settings.scene_name()
    again = os.path.join(FOLDER, "again")
    subprocess.run([TOOL, "run", os.path.join(FOLDER, "bake", name + ".json"), "--frames", "2-4", "--quiet",
                    "--output", again + "/{name}.####.ply", "--usd", again + "/{name}.usda"], check=True)
    for file in ["%s.%04d.ply" % (name, f) for f in (2, 3, 4)] + [name + ".usda"]:
        with open(os.path.join(FOLDER, "bake", file), "rb") as a, open(os.path.join(again, file), "rb") as b:
            assert a.read() == b.read(), file
    # The baked range plays back from its files.
    import glomora_blender.ply_frames as ply_frames
    bpy.context.scene.frame_set(3)
    vertices, counts, indices = blender_mesh(glomora_obj)
    points, file_counts, file_indices, normals, _, velocities = ply_frames.read_ply(
        os.path.join(again, "%s.0003.ply" % name))
    assert vertices.tobytes() == points.tobytes() and indices.tolist() == file_indices.tolist()
    assert normals is not None and glomora_obj.data.has_custom_normals
    # The particles' velocities, carried into the files, come back as the mesh's "velocity".
    assert velocities is not None and np.abs(velocities).max() > 0
    carried = np.empty(len(glomora_obj.data.vertices) * 3, np.float32)
    glomora_obj.data.attributes["velocity"].data.foreach_get("vector", carried)
    assert carried.tobytes() == velocities.tobytes()


def check_a_bad_parameter_shows_the_modules_message():
    glomora = enable()
    glomora_obj, emitter = particle_scene(Space=1)
    glomora_obj.glomora.parameters.Polygonization = 5
    bpy.context.scene.frame_set(2)
    try:
        glomora.surface(particles_at(emitter, 2), Space=1, Polygonization=5)
        raise AssertionError("the module took Polygonization 5")
    except ValueError as e:
        expected = str(e)
    assert "Polygonization" in expected and glomora_obj.glomora.error == expected, glomora_obj.glomora.error
    glomora_obj.glomora.parameters.Polygonization = 1
    assert glomora_obj.glomora.error == ""


globals()["check_" + CHECK]()
print("glomora add-on check passed:", CHECK)
