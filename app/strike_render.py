# render.py -- renders the strike described by strike.json (beside this script) with Blender's Cycles.
#
#   blender -b --factory-startup -P render.py [-- --width W --height H --samples N --seeds 1,2
#                                                 --out FILE.png --single --threads N
#                                                 --ambient-only | --lights-only]
#
# The cloud is cloud.vdb's "density" grid with sigma_t = extinction x density per scene unit, a fraction
# albedo of it scattering with a Henyey-Greenstein phase of asymmetry g, the rest absorbing; every point
# source of the strike is a point light of its power; the camera is the viewer's. When strike.json has
# a sun and a sky, a sun lamp of its irradiance and a world that shines the sky's radiance from above
# the horizon (nothing from below: the ground) light the cloud too. --ambient-only drops the point
# lights (the frame without a strike), --lights-only the sun and the sky (the strike's own light). All
# orders of scattering by default (--single: the first only). Nothing else lights the scene and the
# film is transparent, so the alpha channel is how much the cloud hides and the sky behind it is not in
# the picture.
#
# Units: a scene unit is a metre and the record's power unit a watt, channel by channel: a point light
# of power P (RGB) is a Blender light of P's largest channel in watts with the colour P / that channel
# (Cycles gives it the intensity P / 4 pi per steradian), the sun's strength is its irradiance in
# W / m^2 and the world's colour its radiance, so every light keeps its ratio to the others.
#
# Output: a 16-bit RGBA PNG of linear radiance (no display curve), scaled so that its brightest channel
# is 65535 (the factor is in the PNG's "radiance_scale" text), alpha the cloud's opacity. Several seeds are
# rendered one after the other and averaged in linear light. Defaults: the viewer's window size, 128
# samples, seed 1, render.png beside this script.
import argparse
import json
import math
import os
import struct
import sys
import time
import traceback
import zlib

import bpy
from mathutils import Matrix, Vector

HERE = os.path.dirname(os.path.abspath(__file__))
# Enough volume bounces that the last order a walk reaches carries nothing visible: at albedo 0.999
# the light that survives 1024 scatterings is e^(-1) of it, and far less escapes towards the eye.
ALL_BOUNCES = 1024


def parse_options(strike):
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    p = argparse.ArgumentParser(prog="render.py", description="Cycles render of an exported strike")
    p.add_argument("--width", type=int, default=0, help="pixels across (default: the viewer's window)")
    p.add_argument("--height", type=int, default=0, help="pixels down (default: keeps the window's aspect)")
    p.add_argument("--samples", type=int, default=128, help="samples per pixel of each seed")
    p.add_argument("--seeds", default="1", help="comma-separated seeds, averaged")
    p.add_argument("--out", default=os.path.join(HERE, "render.png"))
    p.add_argument("--single", action="store_true", help="single scattering only")
    p.add_argument("--threads", type=int, default=0, help="render threads (0: all cores)")
    only = p.add_mutually_exclusive_group()
    only.add_argument("--ambient-only", action="store_true", help="the sun and the sky, no point lights")
    only.add_argument("--lights-only", action="store_true", help="the point lights, no sun and no sky")
    o = p.parse_args(argv)
    win_w, win_h = strike["window"]
    if o.width <= 0 and o.height <= 0:
        o.width, o.height = win_w, win_h
    elif o.height <= 0:
        o.height = max(1, round(o.width * win_h / win_w))
    elif o.width <= 0:
        o.width = max(1, round(o.height * win_w / win_h))
    o.seeds = [int(s) for s in o.seeds.split(",") if s.strip()]
    return o


def set_up_render(scene, o):
    scene.render.engine = "CYCLES"
    c = scene.cycles
    c.device = "CPU"
    c.samples = o.samples
    c.use_adaptive_sampling = False
    c.use_denoising = False
    bounces = 0 if o.single else ALL_BOUNCES
    c.max_bounces = bounces
    c.volume_bounces = bounces
    c.diffuse_bounces = c.glossy_bounces = c.transmission_bounces = 0
    c.transparent_max_bounces = 8
    # No clamping and no culling of weak lights: both bias the glow's falloff.
    c.sample_clamp_direct = 0.0
    c.sample_clamp_indirect = 0.0
    c.light_sampling_threshold = 0.0
    c.volume_max_steps = 4096
    r = scene.render
    r.film_transparent = True
    r.resolution_x, r.resolution_y, r.resolution_percentage = o.width, o.height, 100
    r.pixel_aspect_x = r.pixel_aspect_y = 1.0
    if o.threads > 0:
        r.threads_mode = "FIXED"
        r.threads = o.threads
    r.image_settings.file_format = "OPEN_EXR"
    r.image_settings.color_depth = "32"
    r.image_settings.color_mode = "RGBA"
    world = bpy.data.worlds.new("dark")
    world.use_nodes = False
    world.color = (0.0, 0.0, 0.0)
    scene.world = world


def colour_and_strength(rgb):
    """Blender's (colour, strength) for an RGB amount: strength the largest channel, so each channel
    keeps its own value."""
    rgb = [max(0.0, float(v)) for v in rgb]
    peak = max(rgb)
    return (tuple(v / peak for v in rgb) if peak > 0.0 else (1.0, 1.0, 1.0)), peak


def add_cloud(scene, cloud):
    volume = bpy.data.volumes.new("cloud")
    volume.filepath = os.path.join(HERE, cloud["vdb"])
    volume.grids.load()
    if not volume.grids.is_loaded or cloud["grid"] not in [g.name for g in volume.grids]:
        raise RuntimeError("%s holds no grid '%s' Blender can read" % (volume.filepath, cloud["grid"]))
    obj = bpy.data.objects.new("cloud", volume)
    scene.collection.objects.link(obj)
    ext, albedo, g = cloud["extinction"], cloud["albedo"], cloud["g"]
    mat = bpy.data.materials.new("cloud")
    mat.use_nodes = True
    nodes, links = mat.node_tree.nodes, mat.node_tree.links
    nodes.clear()
    density = nodes.new("ShaderNodeAttribute")
    density.attribute_type = "GEOMETRY"
    density.attribute_name = cloud["grid"]

    def scaled(factor):
        m = nodes.new("ShaderNodeMath")
        m.operation = "MULTIPLY"
        links.new(density.outputs["Fac"], m.inputs[0])
        m.inputs[1].default_value = factor
        return m.outputs["Value"]

    # sigma_s = albedo x sigma_t scatters, the rest absorbs; together they extinguish sigma_t.
    scatter = nodes.new("ShaderNodeVolumeScatter")
    scatter.inputs["Color"].default_value = (1.0, 1.0, 1.0, 1.0)
    scatter.inputs["Anisotropy"].default_value = g
    links.new(scaled(ext * albedo), scatter.inputs["Density"])
    absorb = nodes.new("ShaderNodeVolumeAbsorption")
    absorb.inputs["Color"].default_value = (0.0, 0.0, 0.0, 1.0)
    links.new(scaled(ext * (1.0 - albedo)), absorb.inputs["Density"])
    both = nodes.new("ShaderNodeAddShader")
    links.new(scatter.outputs[0], both.inputs[0])
    links.new(absorb.outputs[0], both.inputs[1])
    out = nodes.new("ShaderNodeOutputMaterial")
    links.new(both.outputs[0], out.inputs["Volume"])
    volume.materials.append(mat)


def add_lights(scene, lights):
    for i, light in enumerate(lights):
        colour, power = colour_and_strength(light["power"])
        if power <= 0.0:
            continue
        data = bpy.data.lights.new("source%d" % i, "POINT")
        data.energy = power
        data.color = colour
        data.shadow_soft_size = 0.0
        obj = bpy.data.objects.new("source%d" % i, data)
        obj.location = light["position"]
        scene.collection.objects.link(obj)


def add_sun(scene, sun):
    colour, strength = colour_and_strength(sun["irradiance"])
    if strength <= 0.0:
        return
    data = bpy.data.lights.new("sun", "SUN")
    data.energy = strength
    data.color = colour
    data.angle = 0.0  # parallel light, as the bake's sun
    obj = bpy.data.objects.new("sun", data)
    # A sun lamp shines down its local -z: turn +z towards the sun.
    obj.rotation_mode = "QUATERNION"
    obj.rotation_quaternion = Vector((0.0, 0.0, 1.0)).rotation_difference(Vector(sun["direction"]).normalized())
    scene.collection.objects.link(obj)


def add_sky(scene, sky):
    """A world of the sky's radiance over the upper hemisphere and black below the horizon."""
    colour, strength = colour_and_strength(sky["radiance"])
    if strength <= 0.0:
        return
    world = scene.world
    world.use_nodes = True
    nodes, links = world.node_tree.nodes, world.node_tree.links
    nodes.clear()
    # A world's generated coordinate is the direction a ray leaves towards.
    coords = nodes.new("ShaderNodeTexCoord")
    split = nodes.new("ShaderNodeSeparateXYZ")
    links.new(coords.outputs["Generated"], split.inputs[0])
    above = nodes.new("ShaderNodeMath")
    above.operation = "GREATER_THAN"
    above.inputs[1].default_value = 0.0
    links.new(split.outputs["Z"], above.inputs[0])
    level = nodes.new("ShaderNodeMath")
    level.operation = "MULTIPLY"
    level.inputs[1].default_value = strength
    links.new(above.outputs[0], level.inputs[0])
    background = nodes.new("ShaderNodeBackground")
    background.inputs["Color"].default_value = colour + (1.0,)
    links.new(level.outputs[0], background.inputs["Strength"])
    out = nodes.new("ShaderNodeOutputWorld")
    links.new(background.outputs[0], out.inputs["Surface"])


def add_camera(scene, cam):
    eye, target, up = Vector(cam["eye"]), Vector(cam["target"]), Vector(cam["up"])
    back = (eye - target).normalized()
    right = up.cross(back).normalized()
    true_up = back.cross(right)
    data = bpy.data.cameras.new("view")
    data.sensor_fit = "VERTICAL"
    data.angle_y = math.radians(cam["fov_y_deg"])
    data.clip_start = 0.01
    data.clip_end = 1.0e7
    obj = bpy.data.objects.new("view", data)
    # Blender's camera looks down its -z with +y up.
    obj.matrix_world = Matrix(((right.x, true_up.x, back.x, eye.x), (right.y, true_up.y, back.y, eye.y),
                               (right.z, true_up.z, back.z, eye.z), (0.0, 0.0, 0.0, 1.0)))
    scene.collection.objects.link(obj)
    scene.camera = obj


def render_seed(scene, seed, exr):
    scene.cycles.seed = seed
    scene.render.filepath = exr
    bpy.ops.render.render(write_still=True)
    image = bpy.data.images.load(exr)
    pixels = list(image.pixels[:])  # bottom-up rows of linear RGBA
    bpy.data.images.remove(image)
    os.remove(exr)
    return pixels


def write_png16(path, width, height, rgba, text):
    """rgba: bottom-up rows of 16-bit values."""
    rows = []
    stride = width * 4
    for y in range(height - 1, -1, -1):
        rows.append(b"\x00" + struct.pack(">%dH" % stride, *rgba[y * stride:(y + 1) * stride]))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, 6, 0, 0, 0))
    for key, value in text.items():
        data += chunk(b"tEXt", key.encode() + b"\x00" + value.encode())
    data += chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) + chunk(b"IEND", b"")
    part = path + ".part"
    with open(part, "wb") as f:
        f.write(data)
    os.replace(part, path)


def main():
    with open(os.path.join(HERE, "strike.json")) as f:
        strike = json.load(f)
    o = parse_options(strike)
    bpy.ops.wm.read_factory_settings(use_empty=True)
    scene = bpy.context.scene
    set_up_render(scene, o)
    add_cloud(scene, strike["cloud"])
    if not o.ambient_only:
        add_lights(scene, strike.get("lights", []))
    if not o.lights_only:
        if "sun" in strike:
            add_sun(scene, strike["sun"])
        if "sky" in strike:
            add_sky(scene, strike["sky"])
    add_camera(scene, strike["camera"])
    kinds = {"POINT": "point lights", "SUN": "the sun"}
    lit = sorted({kinds[ob.data.type] for ob in scene.collection.objects if ob.type == "LIGHT"})
    if scene.world.use_nodes:
        lit.append("the sky")
    lit_by = ", ".join(lit) or "nothing"
    start = time.time()
    total = None
    for seed in o.seeds:
        px = render_seed(scene, seed, o.out + ".seed%d.exr" % seed)
        total = px if total is None else [a + b for a, b in zip(total, px)]
    n = len(o.seeds)
    peak = max(max(total[i], total[i + 1], total[i + 2]) for i in range(0, len(total), 4)) / n
    scale = 65535.0 / peak if peak > 0.0 else 1.0
    out = []
    for i in range(0, len(total), 4):
        for k in range(3):
            out.append(min(65535, max(0, int(total[i + k] / n * scale + 0.5))))
        out.append(min(65535, max(0, int(total[i + 3] / n * 65535.0 + 0.5))))
    write_png16(o.out, o.width, o.height, out, {
        "radiance_scale": "%.9g" % scale,
        "samples": "%d x %d seeds (%s)" % (o.samples, n, ",".join(map(str, o.seeds))),
        "scattering": "single" if o.single else "all orders",
        "lit_by": lit_by})
    print("render.py: %s, %d x %d, %d samples x %d seeds, %s scattering, lit by %s, %.1f s" %
          (o.out, o.width, o.height, o.samples, n, "single" if o.single else "all orders", lit_by,
           time.time() - start))


# A failed render must end Blender with a failing status, which an error inside a -P script does not.
try:
    main()
except Exception:
    traceback.print_exc()
    sys.exit(1)
