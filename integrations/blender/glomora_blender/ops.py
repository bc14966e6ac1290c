"""Remeshing on frame change, and the operators: add a Glomora object,
simulate (Space 0: read the sources frame by frame from "Start_frame" and
simulate up to the current frame) and bake (a frame range to files, through
the module's Scene.run, as `glomora run` writes them). Both show Blender's
progress and stop at Esc. Errors of the module go to the object's panel and
to the report area, never only to the console."""

import json
import os
import tempfile
import threading

import bpy

from . import mesh_update, ply_frames, properties, session as session_module, sources

# Per Glomora object (by its name): its Session.
_sessions = {}
# True while an operator steps the timeline itself: the frame handler keeps out.
_stepping = False


def _session(obj):
    session = _sessions.get(obj.name)
    if session is None:
        base = bpy.app.tempdir or tempfile.gettempdir()
        session = _sessions[obj.name] = session_module.Session(os.path.join(base, "glomora", obj.glomora.scene_name()))
    return session


def _module():
    from . import glomora_module
    return glomora_module()


def _later(operator, **properties):
    """Runs `operator` from Blender's event loop, in its first window (handlers and property updates
    cannot run a modal operator or report themselves)."""
    def run():
        windows = bpy.context.window_manager.windows
        if windows:
            with bpy.context.temp_override(window=windows[0]):
                operator("INVOKE_DEFAULT", **properties)
    bpy.app.timers.register(run, first_interval=0.0)


def _report_later(message):
    """The error in the report area too: operators report, handlers cannot, so an operator does it."""
    if bpy.app.background:
        print("glomora: error: " + message)
        return
    _later(bpy.ops.glomora.report_error, message=message)


def fail(obj, message):
    if obj.glomora.error != message:
        _report_later(message)
    obj.glomora.error = message


def _plan(obj, scene):
    """(glomora, name, parameters, independent, start) of the object's settings."""
    glomora = _module()
    catalogue = properties.CATALOGUE
    parameters = session_module.parameters_of(obj.glomora, catalogue)
    defaults = {e["name"]: e["default"] for e in catalogue}
    value = lambda name: parameters.get(name, defaults[name])
    independent = value("Space") == 1 or value("Mode") == 3
    return glomora, obj.glomora.scene_name(), parameters, independent, int(value("Start_frame"))


def _baked_frame(obj, frame):
    settings = obj.glomora
    if not settings.play_bake or not settings.baked_first <= frame <= settings.baked_last:
        return None
    return os.path.join(bpy.path.abspath(settings.bake_folder), "%s.%04d.ply" % (settings.scene_name(), frame))


def update_object(obj, scene, depsgraph, step=None):
    """Remeshes `obj` at the scene's current frame; False (the error shown) when it could not. In Space 0
    a frame that is not the simulation's next one is simulated again from "Start_frame" when the
    sources of those frames were read, otherwise the Simulate operator is asked for."""
    frame = scene.frame_current
    try:
        baked = _baked_frame(obj, frame)
        if baked is not None:
            mesh_update.put_ply_frame(obj.data, ply_frames.read_ply(baked))
            obj.glomora.error = ""
            return True
        glomora, name, parameters, independent, start = _plan(obj, scene)
        session = _session(obj)
        session.record(frame, sources.gather(obj, depsgraph))
        if independent:
            result = session.evaluate_alone(glomora, name, parameters, frame)
        else:
            first = min(start, frame)
            if not session.next_step(parameters, first, frame) and not session.has_frames(first, frame):
                if bpy.app.background:
                    raise RuntimeError("frame %d: Space 0 simulates from \"Start_frame\" %d, and the sources of "
                                       "frames %d to %d were not read: use Simulate" % (frame, start, first, frame))
                _later(bpy.ops.glomora.simulate, object_name=obj.name)
                return False
            result = session.simulate(glomora, name, parameters, first, start, frame, step)
            if result is None:
                return False
        mesh_update.put_mesh(obj.data, result)
        obj.glomora.error = ""
        return True
    except Exception as e:  # the module's messages (ValueError, RuntimeError, ...) and reading errors
        fail(obj, str(e))
        return False


def glomora_objects(scene):
    return [o for o in scene.objects if o.type == "MESH" and o.glomora.active]


@bpy.app.handlers.persistent
def frame_changed(scene, depsgraph):
    if _stepping:
        return
    for obj in glomora_objects(scene):
        update_object(obj, scene, depsgraph)


def _step_frames(context, obj, frames):
    """Reads the sources at each of `frames` by moving the timeline there (the handler kept out); the
    current frame is set back after."""
    global _stepping
    scene = context.scene
    here = scene.frame_current
    _stepping = True
    try:
        for frame in frames:
            scene.frame_set(frame)
            yield frame, _session(obj).record(frame, sources.gather(obj, context.evaluated_depsgraph_get()))
    finally:
        scene.frame_set(here)
        _stepping = False


class GLOMORA_OT_report_error(bpy.types.Operator):
    bl_idname = "glomora.report_error"
    bl_label = "Glomora error"
    bl_options = {"INTERNAL"}
    message: bpy.props.StringProperty()

    def execute(self, context):
        self.report({"ERROR"}, self.message)
        return {"FINISHED"}

    invoke = lambda self, context, event: self.execute(context)


class GLOMORA_OT_add(bpy.types.Operator):
    """A Glomora object, with a new source collection when the scene has none"""
    bl_idname = "glomora.add"
    bl_label = "Glomora"
    bl_options = {"REGISTER", "UNDO"}

    def execute(self, context):
        mesh = bpy.data.meshes.new("Glomora")
        obj = bpy.data.objects.new("Glomora", mesh)
        context.collection.objects.link(obj)
        sources_collection = bpy.data.collections.get("Glomora sources")
        if sources_collection is None:
            sources_collection = bpy.data.collections.new("Glomora sources")
            context.scene.collection.children.link(sources_collection)
        obj.glomora.active = True
        obj.glomora.source_collection = sources_collection
        obj.glomora.bake_first, obj.glomora.bake_last = context.scene.frame_start, context.scene.frame_end
        for other in context.selected_objects:
            other.select_set(False)
        obj.select_set(True)
        context.view_layer.objects.active = obj
        update_object(obj, context.scene, context.evaluated_depsgraph_get())
        return {"FINISHED"}


class _Stepping:
    """An operator that works frame after frame: blocking from scripts (execute), else modal, one step
    per timer tick, with Blender's progress and Esc to stop."""

    def steps(self, context):  # yields (done, total) after each step
        raise NotImplementedError

    def execute(self, context):
        wm = context.window_manager
        wm.progress_begin(0, 1)
        try:
            for done, total in self.steps(context):
                wm.progress_update(done / max(1, total))
        except Exception as e:
            return self.failed(context, str(e))
        finally:
            wm.progress_end()
        return {"FINISHED"} if not self.cancelled else {"CANCELLED"}

    def invoke(self, context, event):
        self.work = self.steps(context)
        wm = context.window_manager
        wm.progress_begin(0, 1)
        self.timer = wm.event_timer_add(0.01, window=context.window)
        wm.modal_handler_add(self)
        return {"RUNNING_MODAL"}

    def modal(self, context, event):
        if event.type == "ESC":
            self.cancelled = True
        if event.type != "TIMER" and not self.cancelled:
            return {"PASS_THROUGH"}
        try:
            done, total = next(self.work)
            context.window_manager.progress_update(done / max(1, total))
            return {"RUNNING_MODAL"}
        except StopIteration:
            self.end(context)
            return {"FINISHED"} if not self.cancelled else {"CANCELLED"}
        except Exception as e:
            self.end(context)
            return self.failed(context, str(e))

    def end(self, context):
        context.window_manager.event_timer_remove(self.timer)
        context.window_manager.progress_end()

    def failed(self, context, message):
        fail(self.target(context), message)
        self.report({"ERROR"}, message)
        return {"CANCELLED"}

    def target(self, context):
        """The object named by `object_name`, else the active one."""
        return bpy.data.objects.get(self.object_name) if self.object_name else context.object

    cancelled = False


def _object_name():
    return bpy.props.StringProperty(name="Object", description="The Glomora object (default: the active one)",
                                    options={"SKIP_SAVE"})


def _poll_glomora(context):
    return any(o.type == "MESH" and o.glomora.active for o in context.scene.objects)


class GLOMORA_OT_simulate(_Stepping, bpy.types.Operator):
    """Space 0: read the sources at every frame from "Start_frame" to the current one and simulate the
    field up to it"""
    bl_idname = "glomora.simulate"
    bl_label = "Simulate"
    object_name: _object_name()

    poll = classmethod(lambda cls, context: _poll_glomora(context))

    def steps(self, context):
        obj, scene = self.target(context), context.scene
        frame = scene.frame_current
        glomora, name, parameters, independent, start = _plan(obj, scene)
        first = min(start, frame)
        frames = list(range(first, frame + 1))
        total = 2 * len(frames)
        for done, _ in enumerate(_step_frames(context, obj, frames), 1):
            yield done, total
            if self.cancelled:
                return
        if independent:
            update_object(obj, scene, context.evaluated_depsgraph_get())
            return
        session = _session(obj)
        session.close()
        result = None
        # One evaluation per step, so that Esc can stop between two.
        session.scene = glomora.Scene(session.scene_dict(name, parameters, first, frame))
        session.built = (parameters, first, {k: session.track[k] for k in frames})
        for done, f in enumerate(range(max(start, first), frame + 1), len(frames) + 1):
            result = session.mesh = session.scene.evaluate(f)
            session.reached = f
            yield done, total
            if self.cancelled:
                return
        if result is not None:
            mesh_update.put_mesh(obj.data, result)
        obj.glomora.error = ""


class GLOMORA_OT_bake(_Stepping, bpy.types.Operator):
    """Write the frames of the bake range to the bake folder, as `glomora run` writes them (PLY files, and
    one USD file when asked), with the scene file that makes them; the range then plays back from them"""
    bl_idname = "glomora.bake"
    bl_label = "Bake"
    object_name: _object_name()

    poll = classmethod(lambda cls, context: _poll_glomora(context))

    def steps(self, context):
        obj, scene = self.target(context), context.scene
        settings = obj.glomora
        first, last = settings.bake_first, settings.bake_last
        if last < first:
            raise ValueError("bake: the first frame %d comes after the last %d" % (first, last))
        glomora, name, parameters, independent, start = _plan(obj, scene)
        read_from = first if independent else min(start, first)
        folder = bpy.path.abspath(settings.bake_folder)
        session = _session(obj)
        frames = list(range(read_from, last + 1))
        total = len(frames) + (last - first + 1)
        # 1) the sources of every frame, into the bake folder
        session.forget()
        for done, _ in enumerate(_step_frames(context, obj, frames), 1):
            yield done, total
            if self.cancelled:
                return
        point_folder = os.path.join(folder, "sources")
        os.makedirs(point_folder, exist_ok=True)
        for frame in frames:
            for cloud in session.track[frame]["clouds"]:
                source = os.path.join(session.folder, "%s.%04d.ply" % (cloud, frame))
                with open(source, "rb") as f, open(os.path.join(point_folder, os.path.basename(source)), "wb") as g:
                    g.write(f.read())
        scene_file = os.path.join(folder, name + ".json")
        with open(scene_file, "w") as f:
            json.dump(session.scene_dict(name, parameters, read_from, last, folder=point_folder), f, indent=2)
        # 2) the run, beside Blender's own thread so that Esc and the progress work
        outcome = {}
        progress = [0, 1]

        def run():
            try:
                def step(done, frames_total):
                    progress[:] = [done, frames_total]
                    if self.cancelled:
                        raise KeyboardInterrupt
                outcome["stats"] = glomora.Scene(scene_file).run(
                    os.path.join(folder, "{name}.####.ply"), (first, last), jobs=1, progress=step,
                    usd=os.path.join(folder, "{name}.usda") if settings.bake_format == "USD" else None)
            except BaseException as e:  # noqa: B036  (KeyboardInterrupt is the cancel)
                outcome["error"] = e
        worker = threading.Thread(target=run)
        worker.start()
        while worker.is_alive():
            worker.join(0.05)
            yield len(frames) + progress[0], total
        if isinstance(outcome.get("error"), KeyboardInterrupt):
            self.report({"WARNING"}, "bake cancelled: the frames written so far stay")
            return
        if "error" in outcome:
            raise outcome["error"]
        settings.baked_first, settings.baked_last = first, last
        settings.play_bake = True
        update_object(obj, scene, context.evaluated_depsgraph_get())


class GLOMORA_OT_clear_bake(bpy.types.Operator):
    """Forget the bake: frames are remeshed again (the files stay)"""
    bl_idname = "glomora.clear_bake"
    bl_label = "Clear bake"

    poll = classmethod(lambda cls, context: context.object is not None and context.object.glomora.active)

    def execute(self, context):
        context.object.glomora.baked_first, context.object.glomora.baked_last = 0, -1
        update_object(context.object, context.scene, context.evaluated_depsgraph_get())
        return {"FINISHED"}


def _add_menu(self, context):
    self.layout.operator(GLOMORA_OT_add.bl_idname, text="Glomora", icon="META_BALL")


_classes = [GLOMORA_OT_report_error, GLOMORA_OT_add, GLOMORA_OT_simulate, GLOMORA_OT_bake, GLOMORA_OT_clear_bake]


def register():
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.types.VIEW3D_MT_mesh_add.append(_add_menu)
    bpy.app.handlers.frame_change_post.append(frame_changed)


def unregister():
    if frame_changed in bpy.app.handlers.frame_change_post:
        bpy.app.handlers.frame_change_post.remove(frame_changed)
    bpy.types.VIEW3D_MT_mesh_add.remove(_add_menu)
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
    _sessions.clear()
