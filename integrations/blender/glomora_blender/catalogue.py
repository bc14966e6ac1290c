"""The operator's parameters as the panel shows them: named as scene files
name them, with the module's defaults and accepted ranges, in groups."""

import math

# The panel's groups, in order: a parameter goes to the first group that
# names it or whose prefix it has; any other to "Other", so that none is
# ever left out.
GROUPS = [
    ("Evaluation", ["Mute", "Log_time", "Space", "Mode", "Start_frame", "Polygonization", "Blending_model",
                    "Container", "Cache_filename"]),
    ("Voxel grid (Space 0)", ["Grid_space", "Size_", "Resolution_"]),
    ("Continuation polygonizer (Space 1)", ["JB_"]),
    ("Normals and UVs", ["User_normals", "UVspace"]),
    ("Geometry", ["Geometry_"]),
    ("Volume", ["Optimization_"]),
    ("Elements", ["Viscosity", "Isovalue", "Particle_size", "Point_size", "Component_"]),
]


def grouped(catalogue):
    """[(title, [entry, ...]), ...] of the catalogue's entries, every one once."""
    groups = [(title, []) for title, _ in GROUPS] + [("Other", [])]
    for entry in catalogue:
        for (title, names), (_, members) in zip(GROUPS, groups):
            if any(entry["name"] == n or (n.endswith("_") and entry["name"].startswith(n)) for n in names):
                members.append(entry)
                break
        else:
            groups[-1][1].append(entry)
    return [(title, members) for title, members in groups if members]


def bounds(entry):
    """(low, high) of the values the parameter accepts, None where open-ended."""
    if not entry["accepted"]:
        return None, None
    low = min(a[0] for a in entry["accepted"])
    high = max(a[1] for a in entry["accepted"])
    return (low if math.isfinite(low) else None), (high if math.isfinite(high) else None)


def description(entry):
    text = "Scene files' \"%s\"" % entry["name"]
    if entry["expectation"]:
        text += ": " + entry["expectation"]
    return text + " (default %r)" % (entry["default"],)
