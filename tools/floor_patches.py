"""Procedural 224 x 224 BGR floor patches for the floor classifier.

Classes: 0 clean, 1 dirty, 2 stubborn. A patch is a pure function of its label and seed, so
training, tests and other tools can regenerate exactly the same pictures.

Stain looks (documented in models/MODEL_CARD.md so that simulated stains can match them):
- dirt: many small dark specks, 2-7 px across, strewn over the patch or heaped on part of it,
  a few light crumbs among them, sometimes a faint grey dust film;
- water: 1-3 translucent soft-edged blobs or a few drops darkening the floor by 12-28 %, often
  with a darker tide rim and a faint sheen;
- stubborn: opaque brown/black blobs (coffee, oil, dark vomit) with satellite drops.
Stains range from drops to spills and may lie partly outside the patch; a stained patch always
shows at least 1.2 % of stain (below 1 % a frame counts as clean), and some clean patches show a
sliver or drop of under 0.3 %. Clean floors include patterned rugs, terrazzo, mosaic, glossy tiles
and clutter at the patch edge (skirting boards, furniture legs, radiators), two floors meeting
along a line, a wall filling the far side of the patch where the robot nears it, and the black
the node leaves where a patch reaches beyond the camera's picture, which must not read as stains.
Given photographs of floors (use_photographed_floors, tools/photo_floors.py), a share of the
floors are cut from them instead of painted. A recipe (use_recipe, RECIPES) draws some of these
more often for a fine-tune.
"""

import dataclasses
import multiprocessing

import cv2
import numpy as np

PATCH_SIZE = 224
CLASS_NAMES = ('clean', 'dirty', 'stubborn')
CLEAN, DIRTY, STUBBORN = range(3)
MATERIALS = ('tiles', 'wood', 'concrete', 'vinyl', 'carpet', 'dark_tiles', 'dark_wood',
             'dark_concrete', 'rug', 'grey_carpet', 'terrazzo', 'marble_inlay', 'mosaic',
             'glossy_tiles', 'laminate')
# Plain floors like the simulator's (light and dark) are drawn most often; the real-world floors
# that look busy without being dirty share the rest.
_MATERIAL_WEIGHTS = np.array([1.0, 1.0, 1.0, 0.6, 0.6, 1.2, 1.2, 1.2, 1.0, 0.5, 0.6, 0.4, 0.4,
                              0.6, 0.5])
# A stained patch shows at least this share of stain; a clean one at most the smaller share.
_MIN_STAIN_SHARE = 0.012
_MAX_CLEAN_STAIN_SHARE = 0.003
# The 'faint' recipe's stains: a drop or the edge of a spill just entering the patch.
_FAINT_STAIN_SHARE = 0.04
_STAIN_TRIES = 12
_PLAIN_MATERIALS = ('tiles', 'wood', 'concrete', 'dark_tiles', 'dark_wood', 'dark_concrete')
_DARK_MATERIALS = ('dark_tiles', 'dark_wood', 'dark_concrete')
# Floors whose pattern swallows specks and translucent water (painted, and photographed families).
_PATTERNED_MATERIALS = ('rug', 'terrazzo', 'mosaic')
_PATTERNED_FAMILIES = ('rug', 'terrazzo')
_UNPATTERNED_WEIGHTS = np.where(np.isin(MATERIALS, _PATTERNED_MATERIALS), 0.0, _MATERIAL_WEIGHTS)


@dataclasses.dataclass(frozen=True)
class Recipe:
    """How often make_patch draws what a fine-tune may need more of.

    photographed_share: share of the floors cut from photographs, once given
    (use_photographed_floors). rugs_weighted: rugs drawn about as often as all other photographs
    together, and never under dirt, whose specks and translucent water vanish in a rug's pattern
    (such patches would teach that a clean rug may be dirty). edge_chance: floors meeting along a
    line; plain_beyond_edge: share of them with a plain light or dark floor beyond it.
    wall_chance: a wall across the far side. extra_glare: window glare besides the usual.
    faint_chance: share of stained patches whose stain covers at most 4 % of the patch, as where
    the robot first sees a stain. speck_share: share of dirt drawn as specks alone; of the rest,
    0.15 of all dirt is specks with water and the remainder water alone. stains_on_edge: share
    of stains centred on an edge of the patch, half in view, as a camera sees a stain entering or
    leaving its patch (otherwise a third are centred anywhere in the patch or up to 0.6 radii
    beyond its edge, and few of those lie across it). soft_water: share of water puddles drawn
    as a camera close to them sees them, 3-30 % of the patch with their edge spread over up to a
    quarter of their radius (otherwise 1-20 % and an eighth): the rear fisheye's undistortion
    enlarges and softens the floor next to the robot. stain_contrast: a stained patch keeps only
    a stain that changes the floor under it by at least this many times the floor's own variation
    there; a puddle lost in a carpet's pattern or a blotchy concrete would teach that a stain may
    look clean. dirt_off_patterns: dirt never drawn on rugs, terrazzo or mosaic, painted or
    photographed, for the reason rugs_weighted keeps it off photographed rugs.
    contrasting_planks: share of painted wood floors whose boards differ in tone as much as mixed
    or reclaimed boards do (otherwise they differ a little). clean_stain_chance: share of clean
    patches carrying a stain too small to count, covering clean_stain_share (least, most) of the
    patch; clean_stubborn_share: share of those stains drawn as opaque drops rather than dirt or
    water. dark_floor_weight: how many times as often as usual the painted dark tiles, wood and
    concrete are drawn, clean and stained.
    """

    photographed_share: float = 0.3
    rugs_weighted: bool = False
    edge_chance: float = 0.2
    plain_beyond_edge: float = 0.0
    wall_chance: float = 0.15
    extra_glare: float = 0.0
    faint_chance: float = 0.0
    speck_share: float = 0.45
    stains_on_edge: float = 0.0
    soft_water: float = 0.0
    stain_contrast: float = 0.0
    dirt_off_patterns: bool = False
    contrasting_planks: float = 0.0
    clean_stain_chance: float = 0.12
    clean_stain_share: tuple = (1e-4, _MAX_CLEAN_STAIN_SHARE)
    clean_stubborn_share: float = 0.0
    dark_floor_weight: float = 1.0


# 'standard' is the generator as described above; the others stress what the real floors (rugs)
# and the front camera's stain-free views (floors meeting near doorways, walls, glare) show
# ('junctions'; 'walls' with twice the walls, as the front camera sees the room's edges), and
# the small or barely entered stains, mostly water, that the cameras see first ('faint'), and the
# stains cut by the patch's edge, which models trained on the others often call clean ('edges'),
# and water seen close up, soft-edged like the cloudy concrete it is taken for ('soft_water'), and
# such puddles only partly in view, as a camera sees one enter or leave its patch ('edge_water'),
# kept only where they stand out from the floor under them ('clear_edge_water'), and clean
# patches with drops and slivers of stain up to just under the share that counts ('slivers'), and
# the dark floors whose boards and clouds the classifier takes for water, alone ('dark_floors') or
# meeting other floors and walls as in 'junctions' ('dark_junctions').
RECIPES = {
    'standard': Recipe(),
    'rugs': Recipe(photographed_share=0.6, rugs_weighted=True),
    'junctions': Recipe(edge_chance=0.45, plain_beyond_edge=0.6, wall_chance=0.3,
                        extra_glare=0.18),
    'walls': Recipe(edge_chance=0.45, plain_beyond_edge=0.6, wall_chance=0.6, extra_glare=0.18),
    'faint': Recipe(faint_chance=0.5, speck_share=0.3),
    'edges': Recipe(stains_on_edge=0.6, speck_share=0.3),
    'soft_water': Recipe(soft_water=0.6, speck_share=0.3),
    'edge_water': Recipe(stains_on_edge=0.6, soft_water=0.6, speck_share=0.1),
    'clear_edge_water': Recipe(stains_on_edge=0.6, soft_water=0.6, speck_share=0.1,
                               stain_contrast=1.5),
    'dark_floors': Recipe(dark_floor_weight=4.0, photographed_share=0.15),
    'dark_junctions': Recipe(dark_floor_weight=4.0, photographed_share=0.15, edge_chance=0.45,
                             plain_beyond_edge=0.6, wall_chance=0.3, extra_glare=0.18),
    'slivers': Recipe(clean_stain_chance=0.5, clean_stain_share=(0.003, 0.009),
                      clean_stubborn_share=0.35),
}
_recipe = RECIPES['standard']
_photographed_floors = []
_photographed_rugs = []
_photographed_others = []
_photographed_unpatterned = []

# The floor is drawn larger than the patch so that a tilted, scaled quadrilateral of it can be
# warped into the patch, as the node does with a camera's view of the floor.
_CANVAS_SIZE = 384
_AREA = PATCH_SIZE * PATCH_SIZE


def make_patch(label, seed, material=None):
    """Return one uint8 BGR patch of class `label` (0, 1 or 2) drawn from integer `seed`."""
    if label not in (CLEAN, DIRTY, STUBBORN):
        raise ValueError(f'unknown floor class {label}')
    rng = np.random.default_rng(seed)
    floors = _floors_for(label)
    patch = _floor(rng, floors, material)
    if rng.random() < _recipe.edge_chance:
        _add_floor_edges(rng, patch, floors)
    if rng.random() < 0.15:
        _add_clutter(rng, patch)
    wall = _wall(rng) if rng.random() < _recipe.wall_chance else None
    hidden = wall[0] if wall else np.zeros(patch.shape[:2], np.float32)
    stain = None
    if label == CLEAN:
        _add_stray_specks(rng, patch)
        if rng.random() < _recipe.clean_stain_chance:
            add_stain = _add_dirt
            if _recipe.clean_stubborn_share and rng.random() < _recipe.clean_stubborn_share:
                add_stain = _add_stubborn_stain
            patch, _ = _with_stain_share(rng, patch, add_stain, *_recipe.clean_stain_share,
                                         hidden)
    else:
        add_stain = _add_dirt if label == DIRTY else _add_stubborn_stain
        stained = None
        if _recipe.faint_chance and rng.random() < _recipe.faint_chance:
            stained = _with_stain_share(rng, patch, add_stain, _MIN_STAIN_SHARE,
                                        _FAINT_STAIN_SHARE, hidden, _recipe.stain_contrast)
        if stained is None:
            stained = _with_stain_share(rng, patch, add_stain, _MIN_STAIN_SHARE, 1.0, hidden,
                                        _recipe.stain_contrast)
        while stained is None:
            # The wall hid too much of the stain, or it never stood out, on every try; the label
            # needs it in view, and a floor it cannot stand out from must still take a stain.
            wall, hidden = None, np.zeros_like(hidden)
            stained = _with_stain_share(rng, patch, add_stain, _MIN_STAIN_SHARE, 1.0, hidden)
        patch, stain = stained
    if wall:
        _blend(patch, *wall, 1.0)
    image = _photograph(rng, patch)
    if rng.random() < 0.2:
        _black_out_beyond_the_picture(rng, image, stain)
    return image


def use_photographed_floors(textures):
    """Draw a share of the floors from these (family, picture) pairs from now on.

    Pictures are float32 BGR in [0, 1]; the family 'rug' matters to the 'rugs' recipe. Patches
    stay a pure function of label and seed for a given list and recipe. Worker processes of
    make_dataset inherit both.
    """
    _photographed_floors[:] = [picture for _, picture in textures]
    _photographed_rugs[:] = [picture for family, picture in textures if family == 'rug']
    _photographed_others[:] = [picture for family, picture in textures if family != 'rug']
    _photographed_unpatterned[:] = [picture for family, picture in textures
                                    if family not in _PATTERNED_FAMILIES]


def use_recipe(name, **changes):
    """Draw patches by the named recipe (a key of RECIPES), with `changes` to its fields, from
    now on."""
    global _recipe
    if name not in RECIPES:
        raise ValueError(f'unknown recipe {name!r}; known: {", ".join(RECIPES)}')
    _recipe = dataclasses.replace(RECIPES[name], **changes)


@dataclasses.dataclass(frozen=True)
class _Floors:
    """What a patch's floors are drawn from: photographs, and weights of the painted materials."""

    pictures: list
    material_weights: np.ndarray


def _floors_for(label):
    dark = np.where(np.isin(MATERIALS, _DARK_MATERIALS), _recipe.dark_floor_weight, 1.0)
    if label == DIRTY and _recipe.dirt_off_patterns:
        return _Floors(_photographed_unpatterned, _UNPATTERNED_WEIGHTS * dark)
    return _Floors(_pictures_for(label), _MATERIAL_WEIGHTS * dark)


def _pictures_for(label):
    if not _recipe.rugs_weighted or not _photographed_rugs:
        return _photographed_floors
    if label == DIRTY:
        return _photographed_others
    copies = max(1, len(_photographed_others) // len(_photographed_rugs))
    return _photographed_others + _photographed_rugs * copies


def photographed_clean_floor(rng, picture):
    """A clean patch of floor tiled from a picture, viewed and photographed as make_patch does."""
    return _photograph(rng, _view_of_floor(rng, _tiled_picture(rng, picture, _CANVAS_SIZE)))


def _floor(rng, floors, material=None):
    pictures, weights = floors.pictures, floors.material_weights
    if material is None and pictures and rng.random() < _recipe.photographed_share:
        picture = pictures[rng.integers(len(pictures))]
        return _view_of_floor(rng, _tiled_picture(rng, picture, _CANVAS_SIZE))
    material = material or MATERIALS[rng.choice(len(MATERIALS), p=weights / weights.sum())]
    return _view_of_floor(rng, _FLOOR_PAINTERS[material](rng, _CANVAS_SIZE))


def _tiled_picture(rng, picture, size):
    """A size x size floor tiled from the picture at a random scale and offset.

    A floor texture spans roughly 1-2 m and the canvas about 1.5 m, so the picture is scaled to
    half to 1.2 times the canvas and repeated where it falls short.
    """
    width = int(size * rng.uniform(0.5, 1.2))
    height = max(1, round(width * picture.shape[0] / picture.shape[1]))
    scaled = cv2.resize(picture, (width, height), interpolation=cv2.INTER_AREA)
    tiled = np.tile(scaled, (size // height + 2, size // width + 2, 1))
    top, left = rng.integers(0, height), rng.integers(0, width)
    return np.ascontiguousarray(tiled[top:top + size, left:left + size])


def _with_stain_share(rng, patch, add_stain, low, high, hidden, contrast=0.0):
    """Draw stains until the share of the patch they visibly cover lies in [low, high].

    The share is what the label means: a frame whose stain covers under 1 % counts as clean.
    Stain under `hidden` (a wall drawn over the floor later) does not count, nor, given a
    `contrast`, stain that does not stand out that much from the floor (_stands_out). Returns the
    stained patch and the stain in view. When no try lands in the range it returns the patch
    unstained if `high` is under the stain share (a clean label), else None.
    """
    visible = hidden < 0.5
    for _ in range(_STAIN_TRIES):
        stained = patch.copy()
        in_view = (add_stain(rng, stained, tiny=high < _MIN_STAIN_SHARE) > 0.5) & visible
        share = float(np.mean(in_view))
        if low <= share <= high and _stands_out(patch, stained, in_view, contrast):
            return stained, in_view
    return None if high >= _MIN_STAIN_SHARE else (patch, np.zeros_like(visible))


def _stands_out(floor, stained, covered, contrast):
    """Whether the stain changes the floor's brightness under it by at least `contrast` times
    the floor's own spread of brightness there."""
    if not contrast:
        return True
    before, after = floor[covered].mean(axis=1), stained[covered].mean(axis=1)
    return float(np.mean(np.abs(after - before))) >= contrast * float(np.std(before))


def make_dataset(count, seed, stream=0, workers=1, out=None):
    """Return `count` patches (N x 224 x 224 x 3 uint8 BGR) with labels cycling 0, 1, 2.

    Patch i is make_patch(i % 3, [seed, stream, i]); different streams never share a patch.
    `workers` processes draw them; the patches do not depend on how many. Given `out`, an array
    of that shape, the patches are written into it, so that parts of a larger set need no copy.
    """
    labels = np.arange(count) % 3
    if out is None:
        out = np.empty((count, PATCH_SIZE, PATCH_SIZE, 3), np.uint8)
    jobs = [(int(labels[index]), [seed, stream, index]) for index in range(count)]
    if workers > 1 and count > 1:
        # Forked, whatever the interpreter's default start method: the workers must inherit the
        # recipe and the photographed floors set in this process, which a spawned worker lacks.
        with multiprocessing.get_context('fork').Pool(workers) as pool:
            # In order and a chunk at a time: the drawn patches are never all held twice.
            for index, patch in enumerate(pool.imap(_draw, jobs, chunksize=16)):
                out[index] = patch
    else:
        for index, job in enumerate(jobs):
            out[index] = _draw(job)
    return out, labels


def _draw(job):
    label, patch_seed = job
    return make_patch(label, patch_seed)


def _rgb(red, green, blue):
    return np.array([blue, green, red], np.float32) / 255.0


def _smooth_noise(rng, size, cell):
    """Zero-mean, unit-variance noise whose features are about `cell` pixels wide."""
    cells = max(2, int(size / max(cell, 1.0)) + 2)
    small = rng.standard_normal((cells, cells)).astype(np.float32)
    noise = cv2.resize(small, (size, size), interpolation=cv2.INTER_CUBIC)
    return (noise - noise.mean()) / (noise.std() + 1e-6)


def _fractal_noise(rng, size, cell, octaves=4):
    total = np.zeros((size, size), np.float32)
    amplitude = 1.0
    for _ in range(octaves):
        total += amplitude * _smooth_noise(rng, size, cell)
        amplitude *= 0.5
        cell /= 2.0
    return total / (total.std() + 1e-6)


def _streak_noise(rng, size, across, along):
    """Noise stretched along x: wood grain and carpet rows."""
    rows = max(2, int(size / across) + 2)
    cols = max(2, int(size / along) + 2)
    small = rng.standard_normal((rows, cols)).astype(np.float32)
    return cv2.resize(small, (size, size), interpolation=cv2.INTER_CUBIC)


def _shade(base, variation):
    """Colour image from a BGR base colour modulated by a relative brightness field."""
    return base[None, None, :] * (1.0 + variation)[:, :, None]


def _jitter_colour(rng, colour, amount):
    return np.clip(colour * rng.normal(1.0, amount, 3).astype(np.float32), 0.02, 1.0)


def _paint_tiles(rng, size, dark=False):
    if dark:
        palette = [_rgb(70, 64, 62), _rgb(45, 45, 50), _rgb(60, 52, 45), _rgb(35, 38, 42),
                   _rgb(80, 78, 75)]
        grout_shades = [0.3, 0.4, 0.45, 0.15]
    else:
        palette = [_rgb(235, 232, 225), _rgb(215, 200, 175), _rgb(170, 170, 172),
                   _rgb(185, 95, 65), _rgb(70, 75, 85), _rgb(200, 210, 220), _rgb(120, 110, 100)]
        grout_shades = [0.25, 0.5, 0.7, 0.85]
    base = _jitter_colour(rng, palette[rng.integers(len(palette))], 0.06)
    tile_w = rng.uniform(36, 120)
    tile_h = tile_w * rng.choice([1.0, 1.0, 0.5, 2.0])
    stagger = rng.choice([0.0, 0.0, 0.5])
    grout_w = rng.uniform(1.0, 4.0)
    edge_distance, row, col = _tile_grid(size, tile_w, tile_h, stagger)
    tone_table = rng.normal(0.0, 0.04, (64, 64)).astype(np.float32)
    tone = tone_table[row.astype(int) % 64, col.astype(int) % 64]
    variation = tone + rng.uniform(0.01, 0.05) * _fractal_noise(rng, size, 40)
    if rng.random() < 0.3:
        variation -= rng.uniform(0.08, 0.25) * _veins(rng, size)
    floor = _shade(base, variation)
    grout_colour = _jitter_colour(rng, rng.choice(grout_shades) * np.ones(3, np.float32), 0.05)
    return _add_grout(floor, edge_distance, grout_w, grout_colour)


def _tile_grid(size, tile_w, tile_h, stagger):
    """Distance to the nearest tile edge, and each pixel's tile row and column."""
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    row = np.floor(y / tile_h)
    shifted_x = x + row * stagger * tile_w
    col = np.floor(shifted_x / tile_w)
    local_x = shifted_x - col * tile_w
    local_y = y - row * tile_h
    edge_distance = np.minimum(np.minimum(local_x, tile_w - local_x),
                               np.minimum(local_y, tile_h - local_y))
    return edge_distance, row, col


def _add_grout(floor, edge_distance, grout_w, grout_colour):
    grout = np.clip(grout_w / 2.0 - edge_distance + 0.5, 0.0, 1.0)[:, :, None]
    return floor * (1.0 - grout) + grout_colour * grout


def _veins(rng, size):
    return np.exp(-(_fractal_noise(rng, size, 60, 3) / 0.06) ** 2)


_LIGHT_WOODS = [_rgb(200, 160, 110), _rgb(110, 75, 50), _rgb(160, 90, 60), _rgb(165, 155, 145),
                _rgb(225, 200, 160), _rgb(140, 105, 70)]
_DARK_WOODS = [_rgb(72, 52, 38), _rgb(55, 38, 28), _rgb(62, 48, 40), _rgb(45, 32, 25)]
_OAK_WOODS = [_rgb(196, 160, 112), _rgb(210, 178, 130), _rgb(180, 140, 95), _rgb(170, 135, 100)]


def _paint_wood(rng, size, palette=None, knots=True, grain_strength=(0.04, 0.1)):
    palette = palette or _LIGHT_WOODS
    base = _jitter_colour(rng, palette[rng.integers(len(palette))], 0.06)
    plank_w = rng.uniform(28, 70)
    plank_len = rng.uniform(150, 500)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    row = np.floor(y / plank_w).astype(int)
    shifted_x = x + rng.uniform(0, plank_len, 64).astype(np.float32)[row % 64]
    segment = np.floor(shifted_x / plank_len).astype(int)
    spread = (rng.uniform(0.1, 0.2) if _recipe.contrasting_planks
              and rng.random() < _recipe.contrasting_planks else 0.07)
    tone = rng.normal(0.0, spread, (64, 64)).astype(np.float32)[row % 64, segment % 64]
    grain = _streak_noise(rng, size, rng.uniform(1.5, 4.0), rng.uniform(30, 90))
    period = rng.uniform(6, 16)
    rings = np.sin(2 * np.pi * (y + 6.0 * _smooth_noise(rng, size, 50)) / period)
    variation = tone + rng.uniform(*grain_strength) * grain + rng.uniform(0.0, 0.05) * rings
    floor = _shade(base, variation)
    seam = ((y % plank_w) < 1.5) | ((shifted_x % plank_len) < 1.5)
    floor[seam] *= rng.uniform(0.45, 0.75)
    # Knots are dark, round and small: the clean class must not call them dirt.
    for _ in range(rng.integers(0, 4) if knots else 0):
        knot = np.zeros((size, size), np.float32)
        centre = (int(rng.uniform(0, size)), int(rng.uniform(0, size)))
        axes = (int(rng.uniform(3, 10)), int(rng.uniform(2, 5)))
        cv2.ellipse(knot, centre, axes, 0, 0, 360, 1.0, -1)
        knot = cv2.GaussianBlur(knot, (0, 0), 1.5)[:, :, None]
        floor *= 1.0 - rng.uniform(0.25, 0.5) * knot
    return floor


def _paint_laminate(rng, size):
    """Plain oak laminate: long, even planks, fine grain, thin bevelled joints."""
    return _paint_wood(rng, size, _OAK_WOODS, knots=rng.random() < 0.3,
                       grain_strength=(0.02, 0.06))


def _paint_concrete(rng, size, dark=False):
    grey = rng.uniform(0.22, 0.38) if dark else rng.uniform(0.4, 0.75)
    base = _jitter_colour(rng, np.full(3, grey, np.float32), 0.04)
    variation = rng.uniform(0.03, 0.09) * _fractal_noise(rng, size, rng.uniform(30, 90))
    variation += rng.uniform(0.02, 0.05) * rng.standard_normal((size, size)).astype(np.float32)
    # Cloudy troweled concrete: soft darker and lighter clouds 10-60 % of the patch across, as
    # deep as a water stain's darkening but without its edge or rim.
    if rng.random() < 0.6:
        variation += rng.uniform(0.06, 0.15) * _smooth_noise(rng, size, rng.uniform(25, 90))
    # Aggregate flecks: one pixel, lighter and darker, far fainter than dirt.
    flecks = rng.random((size, size)) < rng.uniform(0.005, 0.02)
    variation[flecks] += rng.choice([-1.0, 1.0], int(flecks.sum())) * rng.uniform(0.06, 0.15)
    floor = _shade(base, variation)
    # Pale chips of polished concrete, 2-3 px: lighter than the floor, unlike dirt.
    for _ in range(rng.integers(0, 120)):
        centre = (int(rng.uniform(0, size) * 16), int(rng.uniform(0, size) * 16))
        cv2.circle(floor, centre, int(rng.uniform(0.8, 1.6) * 16),
                   (base * rng.uniform(1.2, 1.45)).tolist(), -1, cv2.LINE_AA, 4)
    return floor


def _paint_vinyl(rng, size):
    hue = rng.uniform(0, 180)
    hsv = np.uint8([[[hue, rng.uniform(20, 140), rng.uniform(90, 235)]]])
    base = cv2.cvtColor(hsv, cv2.COLOR_HSV2BGR)[0, 0].astype(np.float32) / 255.0
    variation = rng.uniform(0.02, 0.06) * _fractal_noise(rng, size, rng.uniform(40, 120))
    floor = _shade(base, variation)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    pattern = rng.random()
    if pattern < 0.25:
        square = rng.uniform(40, 110)
        checker = ((np.floor(x / square) + np.floor(y / square)) % 2 == 1)
        floor[checker] *= rng.uniform(0.6, 0.9)
    elif pattern < 0.5:
        square = rng.uniform(60, 150)
        floor[(x % square < 1.0) | (y % square < 1.0)] *= rng.uniform(0.7, 0.9)
    flecks = rng.random((size, size)) < rng.uniform(0.0, 0.012)
    count = int(flecks.sum())
    floor[flecks] = np.clip(floor[flecks] * rng.uniform(0.75, 1.3, (count, 3)), 0.0, 1.0)
    return floor


def _carpet_fibres(rng, size):
    fibres = cv2.GaussianBlur(rng.standard_normal((size, size)).astype(np.float32), (0, 0), 0.7)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    pitch = rng.uniform(2.5, 5.0)
    loops = np.sin(2 * np.pi * x / pitch) * np.sin(2 * np.pi * y / pitch)
    return (rng.uniform(0.1, 0.25) * fibres + rng.uniform(0.0, 0.06) * loops
            + rng.uniform(0.03, 0.08) * _fractal_noise(rng, size, 60))


def _paint_carpet(rng, size, grey=False):
    saturation = rng.uniform(0, 25) if grey else rng.uniform(10, 160)
    value = rng.uniform(60, 190) if grey else rng.uniform(50, 200)
    hsv = np.uint8([[[rng.uniform(0, 180), saturation, value]]])
    base = cv2.cvtColor(hsv, cv2.COLOR_HSV2BGR)[0, 0].astype(np.float32) / 255.0
    variation = _carpet_fibres(rng, size)
    if rng.random() < 0.3:
        rows = np.mgrid[0:size, 0:size][0]
        variation += rng.uniform(0.05, 0.12) * np.sign(np.sin(2 * np.pi * rows
                                                              / rng.uniform(20, 60)))
    return _shade(base, variation)


_RUG_COLOURS = [_rgb(150, 30, 35), _rgb(30, 40, 90), _rgb(225, 210, 180), _rgb(200, 150, 60),
                _rgb(60, 35, 25), _rgb(25, 22, 20), _rgb(40, 100, 100), _rgb(170, 80, 40),
                _rgb(130, 130, 125), _rgb(240, 238, 230), _rgb(90, 110, 60), _rgb(110, 30, 50)]


def _rug_pattern(rng, size):
    """Index field of a woven motif: Persian medallions, kilim steps, diamond checks or blocks."""
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    style = rng.integers(4)
    if style == 0:  # Persian: medallions of petals in rings, on a grid
        cell = rng.uniform(40, 130)
        u, v = (x % cell) / cell - 0.5, (y % cell) / cell - 0.5
        radius = np.hypot(u, v) * (1.0 + rng.uniform(0.1, 0.35)
                                   * np.cos(rng.integers(4, 9) * np.arctan2(v, u)))
        field = radius * rng.uniform(6, 12) + 0.6 * _smooth_noise(rng, size, 30)
    elif style == 1:  # kilim: stepped diamonds in horizontal bands
        step = rng.uniform(3, 8)
        qx, qy = np.floor(x / step) * step, np.floor(y / step) * step
        cell = rng.uniform(30, 90)
        field = (np.abs(qx % cell - cell / 2) + np.abs(qy % cell - cell / 2)) / cell * 6
        field += np.floor(y / rng.uniform(40, 120)) * 2
    elif style == 2:  # diamond checks
        period = rng.uniform(15, 60)
        u, v = (x + y) / period, (x - y) / period
        field = (np.floor(u) + np.floor(v)) % 2 + 2 * (np.abs(u % 1 - 0.5) + np.abs(v % 1 - 0.5)
                                                       < rng.uniform(0.0, 0.3))
    else:  # blocks: a patchwork of rectangles
        cols = np.cumsum(rng.uniform(15, 80, 20))
        rows = np.cumsum(rng.uniform(15, 80, 20))
        field = np.searchsorted(cols, x) * 7 + np.searchsorted(rows, y) * 3
    return np.floor(field).astype(int)


def _paint_rug(rng, size):
    """Patterned rugs (Persian, kilim, diamond checks, blocks) and shaggy pile."""
    colours = np.array([_jitter_colour(rng, _RUG_COLOURS[i], 0.08)
                        for i in rng.choice(len(_RUG_COLOURS), rng.integers(2, 6), replace=False)])
    if rng.random() < 0.25:
        # Shaggy pile: long strands in swirling directions, deep shadows between them.
        base = colours[0]
        strands = _streak_noise(rng, size, rng.uniform(1.0, 2.5), rng.uniform(6, 20))
        swirl = cv2.GaussianBlur(rng.standard_normal((size, size)).astype(np.float32), (0, 0), 3)
        variation = rng.uniform(0.2, 0.4) * strands + rng.uniform(0.1, 0.25) * swirl / (
            swirl.std() + 1e-6) + 0.1 * _fractal_noise(rng, size, 50)
        floor = _shade(base, np.clip(variation, -0.75, 0.8))
    else:
        index = _rug_pattern(rng, size) % len(colours)
        floor = colours[index]
        floor = cv2.GaussianBlur(floor.astype(np.float32), (0, 0), rng.uniform(0.5, 1.5))
        floor = floor * (1.0 + _carpet_fibres(rng, size) * rng.uniform(0.3, 0.8))[:, :, None]
    return np.clip(floor, 0.0, 1.0)


def _paint_terrazzo(rng, size):
    """Terrazzo and black-and-white marble chips: many sharp-edged chips in a plain binder."""
    monochrome = rng.random() < 0.4
    if monochrome:
        binder = np.full(3, rng.choice([0.08, 0.85, 0.6]), np.float32)
        chips = [np.full(3, 0.06, np.float32), np.full(3, 0.92, np.float32),
                 np.full(3, 0.5, np.float32)]
    else:
        binder = _jitter_colour(rng, [_rgb(220, 215, 205), _rgb(190, 185, 180),
                                      _rgb(120, 120, 120), _rgb(210, 190, 170)][rng.integers(4)],
                                0.05)
        chips = [_rgb(30, 30, 30), _rgb(245, 245, 240), _rgb(150, 150, 150), _rgb(170, 90, 60),
                 _rgb(90, 120, 90), _rgb(200, 170, 120), _rgb(80, 70, 65)]
    floor = _shade(binder, 0.03 * _fractal_noise(rng, size, 40))
    chips = np.array(chips)
    # Mostly small chips, a fifth of them larger.
    radii = np.where(rng.random(4000) < 0.8, rng.uniform(1.5, 7.0, 4000),
                     rng.uniform(6.0, 14.0, 4000))
    count = int(np.searchsorted(np.cumsum(1.3 * radii ** 2), rng.uniform(0.15, 0.6) * size * size))
    centres = rng.uniform(0, size, (count, 2))
    angles = np.sort(rng.uniform(0, 2 * np.pi, (count, 6)), axis=1)
    reach = radii[:count, None] * rng.uniform(0.5, 1.0, (count, 6))
    corners = (centres[:, None, :]
               + np.stack([np.cos(angles), np.sin(angles)], -1) * reach[..., None])
    colours = chips[rng.integers(len(chips), size=count)] * rng.normal(1.0, 0.08, (count, 3))
    for points, colour in zip(np.round(corners * 16).astype(np.int32), np.clip(colours, 0.02, 1)):
        cv2.fillPoly(floor, [points], colour.tolist(), cv2.LINE_AA, shift=4)
    return floor


def _paint_marble_inlay(rng, size):
    """Marble floor with inlaid strips of a contrasting stone."""
    light = _jitter_colour(rng, [_rgb(235, 230, 222), _rgb(215, 205, 190)][rng.integers(2)], 0.04)
    floor = _shade(light, 0.02 * _fractal_noise(rng, size, 50)
                   - rng.uniform(0.05, 0.2) * _veins(rng, size))
    inlay = _jitter_colour(rng, [_rgb(25, 25, 28), _rgb(90, 50, 40), _rgb(40, 70, 55),
                                 _rgb(120, 110, 100)][rng.integers(4)], 0.05)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    for _ in range(rng.integers(1, 4)):
        across = x if rng.random() < 0.5 else y
        start, width = rng.uniform(0, size), rng.uniform(6, 35)
        strip = np.clip(np.minimum(across - start, start + width - across) + 0.5, 0, 1)[:, :, None]
        stone = _shade(inlay, 0.04 * _fractal_noise(rng, size, 30)
                       + rng.uniform(0.0, 0.3) * _veins(rng, size))
        floor = floor * (1 - strip) + stone * strip
        joint = (np.abs(across - start) < 0.8) | (np.abs(across - start - width) < 0.8)
        floor[joint] *= 0.8
    return floor


def _paint_mosaic(rng, size):
    """Glass mosaic: small glossy squares in varied shades with light grout."""
    tile = rng.uniform(6, 20)
    edge_distance, row, col = _tile_grid(size, tile, tile, 0.0)
    hue = rng.uniform(0, 180)
    spread = rng.choice([8.0, 20.0, 90.0])
    table = np.stack([np.clip(hue + rng.normal(0, spread, (64, 64)), 0, 179),
                      rng.uniform(20, 150, (64, 64)), rng.uniform(60, 240, (64, 64))], -1)
    colours = cv2.cvtColor(table.astype(np.uint8), cv2.COLOR_HSV2BGR).astype(np.float32) / 255.0
    floor = colours[row.astype(int) % 64, col.astype(int) % 64]
    gloss = np.clip(1.0 - edge_distance / tile, 0, 1) * rng.uniform(0.0, 0.25)
    floor = floor * (1.0 + gloss[:, :, None])
    grout = _jitter_colour(rng, np.full(3, rng.choice([0.55, 0.75, 0.9]), np.float32), 0.04)
    return _add_grout(floor, edge_distance, rng.uniform(1.0, 2.5), grout)


def _paint_glossy_tiles(rng, size):
    """Glossy beige tiles with grout, mirroring the room in broad sheens and window reflections."""
    base = _jitter_colour(rng, [_rgb(220, 205, 180), _rgb(200, 185, 160), _rgb(235, 225, 205)]
                          [rng.integers(3)], 0.04)
    tile_w = rng.uniform(50, 150)
    edge_distance, row, col = _tile_grid(size, tile_w, tile_w, rng.choice([0.0, 0.5]))
    tone = rng.normal(0.0, 0.03, (64, 64)).astype(np.float32)[row.astype(int) % 64,
                                                             col.astype(int) % 64]
    floor = _shade(base, tone + 0.03 * _fractal_noise(rng, size, 40))
    grout = _jitter_colour(rng, base * rng.uniform(0.55, 0.9), 0.05)
    floor = _add_grout(floor, edge_distance, rng.uniform(2.0, 5.0), grout)
    sheen = np.zeros((size, size), np.float32)
    for _ in range(rng.integers(1, 4)):
        centre = rng.uniform(0, size, 2)
        axes = rng.uniform(15, 80, 2)
        if rng.random() < 0.5:  # a window: bright, straight-edged
            cv2.rectangle(sheen, tuple(int(v) for v in centre - axes),
                          tuple(int(v) for v in centre + axes), 1.0, -1)
        else:
            cv2.ellipse(sheen, tuple(int(v) for v in centre), tuple(int(v) for v in axes),
                        rng.uniform(0, 180), 0, 360, 1.0, -1)
    sheen = cv2.GaussianBlur(sheen, (0, 0), rng.uniform(3, 20))
    return floor + (rng.uniform(0.15, 0.6) * sheen)[:, :, None] * (1.0 - floor)


_FLOOR_PAINTERS = {
    'tiles': _paint_tiles,
    'wood': _paint_wood,
    'concrete': _paint_concrete,
    'vinyl': _paint_vinyl,
    'carpet': _paint_carpet,
    'dark_tiles': lambda rng, size: _paint_tiles(rng, size, dark=True),
    'dark_wood': lambda rng, size: _paint_wood(rng, size, _DARK_WOODS),
    'dark_concrete': lambda rng, size: _paint_concrete(rng, size, dark=True),
    'rug': _paint_rug,
    'grey_carpet': lambda rng, size: _paint_carpet(rng, size, grey=True),
    'terrazzo': _paint_terrazzo,
    'marble_inlay': _paint_marble_inlay,
    'mosaic': _paint_mosaic,
    'glossy_tiles': _paint_glossy_tiles,
    'laminate': _paint_laminate,
}


def _view_of_floor(rng, floor):
    """Warp a rotated, tapered, scaled quadrilateral of the floor into the patch."""
    side = rng.uniform(150, 280)
    corners = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]], np.float32) * side / 2
    corners[:2, 0] *= 1.0 - rng.uniform(0.0, 0.25)
    # Side cameras' patches are 0.6 m by 1 m, stretched to a square.
    if rng.random() < 0.5:
        corners[:, 1] *= rng.uniform(0.55, 1.0)
    corners += rng.uniform(-0.06, 0.06, (4, 2)).astype(np.float32) * side
    angle = rng.uniform(0, 2 * np.pi)
    rotation = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]],
                        np.float32)
    corners = corners @ rotation.T
    size = floor.shape[0]
    extent = corners.max(axis=0) - corners.min(axis=0)
    if extent.max() > size - 2:
        corners *= (size - 2) / extent.max()
    low = -corners.min(axis=0)
    high = size - 1 - corners.max(axis=0)
    source = (corners + rng.uniform(low, high)).astype(np.float32)
    last = PATCH_SIZE - 1
    target = np.array([[0, 0], [last, 0], [last, last], [0, last]], np.float32)
    homography = cv2.getPerspectiveTransform(source, target)
    return cv2.warpPerspective(floor.astype(np.float32), homography, (PATCH_SIZE, PATCH_SIZE),
                               flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT)


def _blob_mask(rng, centre, radius, softness):
    """Soft mask of an irregular blob with a wobbly, possibly elongated outline."""
    theta = np.linspace(0, 2 * np.pi, 72, endpoint=False)
    wobble = np.ones_like(theta)
    for harmonic in range(2, 7):
        wobble += rng.normal(0, 0.35 / harmonic) * np.cos(harmonic * theta + rng.uniform(0, 6.3))
    r = radius * np.clip(wobble, 0.35, None)
    stretch = rng.uniform(0.7, 1.4)
    tilt = rng.uniform(0, np.pi)
    x = r * np.cos(theta) * stretch
    y = r * np.sin(theta) / stretch
    points = np.stack([x * np.cos(tilt) - y * np.sin(tilt) + centre[0],
                       x * np.sin(tilt) + y * np.cos(tilt) + centre[1]], axis=1)
    mask = np.zeros((PATCH_SIZE, PATCH_SIZE), np.uint8)
    cv2.fillPoly(mask, [np.round(points * 16).astype(np.int32)], 255, cv2.LINE_AA, shift=4)
    mask = mask.astype(np.float32) / 255.0
    if softness > 0:
        mask = cv2.GaussianBlur(mask, (0, 0), softness)
    return mask


def _rim(mask, width):
    """Soft band just inside a blob's edge: tide marks and coffee rings."""
    kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * width + 1, 2 * width + 1))
    inner = cv2.erode((mask > 0.5).astype(np.uint8), kernel).astype(np.float32)
    return cv2.GaussianBlur(np.clip(mask - inner, 0.0, 1.0), (0, 0), 1.0)


def _random_centre(rng):
    return rng.uniform(0.15, 0.85, 2) * PATCH_SIZE


def _stain_centre(rng, radius):
    """Mostly well inside the patch, a third anywhere up to 0.6 radii beyond its edge; by the
    'edges' recipe, most on an edge."""
    if _recipe.stains_on_edge and rng.random() < _recipe.stains_on_edge:
        return _centre_on_an_edge(rng, radius)
    if rng.random() < 0.35:
        return rng.uniform(-0.6 * radius, PATCH_SIZE + 0.6 * radius, 2)
    return _random_centre(rng)


def _centre_on_an_edge(rng, radius):
    along = rng.uniform(0.1, 0.9) * PATCH_SIZE
    inside = rng.uniform(-0.5, 0.5) * radius
    side = int(rng.integers(4))
    across = inside if side < 2 else PATCH_SIZE - inside
    return np.array([along, across] if side % 2 == 0 else [across, along])


def _log_uniform(rng, low, high):
    return float(np.exp(rng.uniform(np.log(low), np.log(high))))


def _draw_specks(rng, covered_px, diameter_range, cluster_share, clusters=None):
    """Mask of small specks drawn until about `covered_px` pixels are covered."""
    mask = np.zeros((PATCH_SIZE, PATCH_SIZE), np.uint8)
    clusters = clusters or [(_random_centre(rng), rng.uniform(15, 60))
                            for _ in range(rng.integers(1, 4))]
    covered = 0.0
    while covered < covered_px:
        if rng.random() < cluster_share:
            centre, spread = clusters[rng.integers(len(clusters))]
            position = rng.normal(centre, spread)
        else:
            position = rng.uniform(0, PATCH_SIZE, 2)
        axes = rng.uniform(diameter_range[0], diameter_range[1], 2) / 2
        # Fixed-point coordinates (4 fractional bits) keep sub-pixel speck sizes.
        cv2.ellipse(mask, (int(position[0] * 16), int(position[1] * 16)),
                    (int(axes[0] * 16), int(axes[1] * 16)), rng.uniform(0, 180), 0, 360,
                    int(rng.uniform(140, 255)), -1, cv2.LINE_AA, 4)
        covered += np.pi * axes[0] * axes[1]
    return mask.astype(np.float32) / 255.0


def _blend(patch, mask, colour, opacity):
    alpha = (mask * opacity)[:, :, None]
    patch *= 1.0 - alpha
    patch += alpha * colour


def _add_stray_specks(rng, patch):
    """A clean floor may still show a few isolated faint specks."""
    if rng.random() < 0.25:
        mask = _draw_specks(rng, rng.uniform(5, 30), (1.5, 2.5), 0.0)
        _blend(patch, mask, patch.mean(axis=(0, 1)) * 0.4, rng.uniform(0.3, 0.6))


def _speck_mask(rng, tiny):
    """Specks strewn over the patch, or heaped on a patch of floor as a dropped crumb pile."""
    if tiny:
        return _draw_specks(rng, rng.uniform(20, 120), (2.0, 5.0), 1.0,
                            [(_stain_centre(rng, 20), rng.uniform(4, 12))])
    if rng.random() < 0.5:
        return _draw_specks(rng, rng.uniform(0.02, 0.10) * _AREA, (2.0, 6.0),
                            rng.uniform(0.0, 0.8))
    radius = rng.uniform(30, 110)
    covered = rng.uniform(0.07, 0.14) * np.pi * radius * radius
    return _draw_specks(rng, covered, (2.5, 7.0), 0.9,
                        [(_stain_centre(rng, radius), radius * rng.uniform(0.3, 0.5))])


def _add_specks(rng, patch, tiny=False):
    mask = _speck_mask(rng, tiny)
    dark = _jitter_colour(rng, _rgb(45, 38, 30) * rng.uniform(0.6, 1.6), 0.1)
    _blend(patch, mask, dark, rng.uniform(0.7, 0.95))
    if rng.random() < 0.5:
        crumbs = _draw_specks(rng, mask.sum() * rng.uniform(0.05, 0.2), (2.0, 5.0), 0.3)
        _blend(patch, crumbs, _jitter_colour(rng, _rgb(200, 170, 120), 0.1), 0.9)
        mask = np.maximum(mask, crumbs)
    if rng.random() < 0.3 and not tiny:
        dust = np.clip(_smooth_noise(rng, PATCH_SIZE, 50) * 0.5 + 0.5, 0.0, 1.0)
        _blend(patch, dust, np.full(3, 0.6, np.float32), rng.uniform(0.05, 0.12))
    return mask


def _add_water_stains(rng, patch, tiny=False):
    """Translucent puddles and drops, from a few centimetres to spills: the floor seen darker."""
    total = np.zeros((PATCH_SIZE, PATCH_SIZE), np.float32)
    drops = rng.random() < 0.25 and not tiny
    for _ in range(rng.integers(3, 9) if drops else rng.integers(1, 4)):
        edge_spread = 0.12
        if tiny:
            area = rng.uniform(0.0005, 0.003) * _AREA
        elif drops:
            area = rng.uniform(0.002, 0.008) * _AREA
        elif _recipe.soft_water and rng.random() < _recipe.soft_water:
            area, edge_spread = _log_uniform(rng, 0.03, 0.3) * _AREA, 0.25
        else:
            area = _log_uniform(rng, 0.01, 0.2) * _AREA
        radius = np.sqrt(area / np.pi)
        mask = _blob_mask(rng, _stain_centre(rng, radius), radius,
                          rng.uniform(1.0, max(1.5, edge_spread * radius)))
        darkening = mask * rng.uniform(0.12, 0.28)
        if rng.random() < 0.6:
            darkening += _rim(mask, int(rng.integers(2, 5))) * rng.uniform(0.05, 0.12)
        patch *= (1.0 - darkening)[:, :, None]
        if rng.random() < 0.5:
            sheen = _blob_mask(rng, _random_centre(rng), radius * 0.6, 6.0)
            _blend(patch, sheen * mask, np.ones(3, np.float32), rng.uniform(0.05, 0.15))
        total = np.maximum(total, mask)
    return total


def _add_dirt(rng, patch, tiny=False):
    kind = rng.random()
    if kind < _recipe.speck_share:
        return _add_specks(rng, patch, tiny)
    if kind < 0.85:
        return _add_water_stains(rng, patch, tiny)
    return np.maximum(_add_water_stains(rng, patch, tiny), _add_specks(rng, patch, tiny))


def _add_stubborn_stain(rng, patch, tiny=False):
    palette = [_rgb(80, 50, 30), _rgb(111, 78, 55), _rgb(20, 20, 22), _rgb(60, 40, 25),
               _rgb(95, 80, 40), _rgb(40, 28, 20)]
    colour = _jitter_colour(rng, palette[rng.integers(len(palette))], 0.1)
    # Tiny: one drop that does not count as a stain on its own.
    coverage = _log_uniform(rng, 0.002, 0.008) if tiny else _log_uniform(rng, 0.012, 0.35)
    blobs = 1 if tiny else rng.integers(1, 4)
    mask = np.zeros((PATCH_SIZE, PATCH_SIZE), np.float32)
    for _ in range(blobs):
        radius = np.sqrt(coverage * _AREA / blobs / np.pi)
        mask = np.maximum(mask, _blob_mask(rng, _stain_centre(rng, radius), radius,
                                           rng.uniform(0.8, 3)))
    for _ in range(0 if tiny else rng.integers(0, 8)):
        drop = _blob_mask(rng, _random_centre(rng), rng.uniform(3, 10), 0.8)
        mask = np.maximum(mask, drop)
    texture = 1.0 + rng.uniform(0.04, 0.15) * _fractal_noise(rng, PATCH_SIZE, 25, 3)
    stain = colour[None, None, :] * texture[:, :, None]
    if rng.random() < 0.5:
        stain *= 1.0 - 0.4 * _rim(mask, int(rng.integers(2, 6)))[:, :, None]
    alpha = (mask * rng.uniform(0.85, 1.0))[:, :, None]
    patch *= 1.0 - alpha
    patch += alpha * stain
    if rng.random() < 0.3:
        sheen = _blob_mask(rng, _random_centre(rng), rng.uniform(10, 30), 5.0)
        _blend(patch, sheen * mask, np.ones(3, np.float32), rng.uniform(0.1, 0.3))
    if not tiny and rng.random() < 0.15:
        mask = np.maximum(mask, _add_specks(rng, patch))
    return mask


def _add_clutter(rng, patch):
    """Something at one edge of the patch: a skirting board, a furniture leg or a radiator."""
    overlay = np.zeros_like(patch)
    alpha = np.zeros(patch.shape[:2], np.float32)
    y, x = np.mgrid[0:PATCH_SIZE, 0:PATCH_SIZE].astype(np.float32)
    colour = _jitter_colour(rng, [_rgb(240, 240, 235), _rgb(60, 45, 35), _rgb(30, 30, 32),
                                  _rgb(170, 170, 175), _rgb(150, 110, 70)][rng.integers(5)], 0.06)
    kind = rng.integers(3)
    if kind == 0:  # skirting board along the edge
        depth = rng.uniform(8, 40)
        alpha = np.clip(depth - y + 0.5, 0, 1)
        overlay[:] = colour * (1.0 + 0.15 * np.clip((depth - y) / depth, 0, 1))[:, :, None]
        reach = depth + rng.uniform(3, 15)
    elif kind == 1:  # a round or square furniture leg standing on the edge
        centre = np.array([rng.uniform(20, PATCH_SIZE - 20), rng.uniform(-20, 15)])
        size = rng.uniform(8, 30)
        if rng.random() < 0.5:
            alpha = np.clip(size - np.hypot(x - centre[0], y - centre[1]) + 0.5, 0, 1)
        else:
            alpha = np.clip(size - np.maximum(np.abs(x - centre[0]), np.abs(y - centre[1])) + 0.5,
                            0, 1)
        shine = np.exp(-((x - centre[0] + 0.4 * size) / (0.2 * size)) ** 2)
        overlay[:] = np.clip(colour * (1.0 + rng.uniform(0, 1.5) * shine)[:, :, None], 0, 1)
        reach = centre[1] + size + rng.uniform(3, 15)
    else:  # radiator: fins across the edge
        depth = rng.uniform(20, 60)
        pitch = rng.uniform(6, 16)
        alpha = np.clip(depth - y + 0.5, 0, 1)
        fins = 0.5 + 0.5 * np.cos(2 * np.pi * x / pitch)
        overlay[:] = colour * (0.55 + 0.45 * fins)[:, :, None]
        reach = depth + rng.uniform(3, 15)
    # The soft shadow it casts on the floor next to it.
    shadow = np.clip((reach - y) / max(reach, 1.0), 0, 1) * rng.uniform(0.2, 0.5)
    turns = int(rng.integers(4))
    patch *= np.rot90(1.0 - shadow, turns)[:, :, None]
    _blend(patch, np.ascontiguousarray(np.rot90(alpha, turns)),
           np.ascontiguousarray(np.rot90(overlay, turns)), 1.0)


def _add_floor_edges(rng, patch, floors):
    """Where floors meet (a doorway, the edge of a rug): another floor beyond a straight line, and
    in a third of the cases a third floor beyond a line across one of the two (a junction)."""
    beyond_first = _add_floor_edge(rng, patch, np.ones(patch.shape[:2], np.float32), floors)
    if rng.random() < 0.3:
        _add_floor_edge(rng, patch, beyond_first if rng.random() < 0.5 else 1.0 - beyond_first,
                        floors)


def _add_floor_edge(rng, patch, region, floors):
    """Another floor beyond a straight line, within `region`; returns the part it covers."""
    material = None
    if _recipe.plain_beyond_edge and rng.random() < _recipe.plain_beyond_edge:
        material = _PLAIN_MATERIALS[rng.integers(len(_PLAIN_MATERIALS))]
    other = _floor(rng, floors, material)
    y, x = np.mgrid[0:PATCH_SIZE, 0:PATCH_SIZE].astype(np.float32) - PATCH_SIZE / 2
    angle = rng.uniform(0, 2 * np.pi)
    beyond = x * np.cos(angle) + y * np.sin(angle) - rng.uniform(-0.35, 0.35) * PATCH_SIZE
    alpha = np.clip(beyond + 0.5, 0, 1) * region
    patch *= 1.0 - alpha[:, :, None]
    patch += other * alpha[:, :, None]
    return alpha


_WALL_COLOURS = [_rgb(130, 124, 118), _rgb(235, 232, 225), _rgb(215, 205, 185),
                 _rgb(180, 180, 178), _rgb(100, 100, 105), _rgb(190, 200, 205),
                 _rgb(160, 140, 120)]
_SKIRTING_COLOURS = [_rgb(245, 245, 240), _rgb(60, 45, 35), _rgb(110, 110, 112),
                     _rgb(150, 110, 70)]


def _wall(rng):
    """A wall filling the far side of the patch, as a camera sees it when the robot nears it.

    Returns its coverage (H x W) and its picture (H x W x 3): a plain, evenly shaded surface
    beyond a straight line, often with a skirting strip along its foot. The line is slanted up to
    45 degrees when the robot turns near the wall; in a corner a second face meets the first.
    """
    colour = _jitter_colour(rng, _WALL_COLOURS[rng.integers(len(_WALL_COLOURS))], 0.05)
    skirting = (_jitter_colour(rng, _SKIRTING_COLOURS[rng.integers(len(_SKIRTING_COLOURS))], 0.05)
                if rng.random() < 0.5 else None)
    alpha, overlay = _wall_face(rng, colour, skirting)
    if rng.random() < 0.25:
        side_colour = np.clip(colour * rng.uniform(0.8, 1.2), 0.02, 1.0)
        side_alpha, side_overlay = _wall_face(rng, side_colour, skirting)
        side_alpha, side_overlay = np.rot90(side_alpha), np.rot90(side_overlay)
        overlay = np.where((side_alpha > alpha)[:, :, None], side_overlay, overlay)
        alpha = np.maximum(alpha, side_alpha)
    turns = int(rng.integers(4))
    return (np.ascontiguousarray(np.rot90(alpha, turns)),
            np.ascontiguousarray(np.rot90(overlay, turns)))


def _wall_face(rng, colour, skirting):
    y, x = np.mgrid[0:PATCH_SIZE, 0:PATCH_SIZE].astype(np.float32)
    depth = rng.uniform(0.08, 0.85) * PATCH_SIZE
    slant = rng.uniform(-1.0, 1.0) if rng.random() < 0.4 else rng.uniform(-0.3, 0.3)
    beyond = depth + slant * (x - PATCH_SIZE / 2) - y
    alpha = np.clip(beyond + 0.5, 0, 1)
    gradient = rng.uniform(-0.15, 0.15) * np.clip(beyond / PATCH_SIZE, 0, 1)
    texture = rng.uniform(0.0, 0.03) * _smooth_noise(rng, PATCH_SIZE, rng.uniform(20, 80))
    overlay = _shade(colour, gradient + texture)
    if skirting is not None:
        strip = np.clip(rng.uniform(2, 14) - beyond + 0.5, 0, 1) * alpha
        overlay = overlay * (1.0 - strip[:, :, None]) + skirting * strip[:, :, None]
    return alpha, overlay


def _black_out_beyond_the_picture(rng, image, stain=None):
    """Black where the floor patch reaches beyond the camera's picture, as the node fills it.

    The fisheye camera's patch ends in an arc at the edge of its undistorted view; a patch near
    the border of an ordinary camera's frame ends in a straight line. Left out where it would
    leave less of a stained patch's `stain` (its stain in view) in sight than its label needs.
    """
    y, x = np.mgrid[0:PATCH_SIZE, 0:PATCH_SIZE].astype(np.float32)
    last = PATCH_SIZE - 1
    depth = rng.uniform(0.03, 0.2) * PATCH_SIZE
    if rng.random() < 0.7:
        radius = rng.uniform(1.0, 4.0) * PATCH_SIZE
        centre_x = rng.uniform(0.2, 0.8) * PATCH_SIZE
        outside = radius - np.hypot(x - centre_x, y - (last - depth + radius))
    else:
        outside = y - (last - depth) + rng.uniform(-0.1, 0.1) * (x - PATCH_SIZE / 2)
    keep = 1.0 - np.clip(outside + 0.5, 0, 1)
    keep = np.ascontiguousarray(np.rot90(keep, int(rng.integers(4))))
    if stain is not None and np.mean(stain & (keep > 0.5)) < _MIN_STAIN_SHARE:
        return
    image[:] = (image * keep[:, :, None] + 0.5).astype(np.uint8)


def _add_lighting(rng, patch):
    y, x = np.mgrid[0:PATCH_SIZE, 0:PATCH_SIZE].astype(np.float32) / PATCH_SIZE - 0.5
    angle = rng.uniform(0, 2 * np.pi)
    gain = rng.uniform(0.6, 1.3) * (1.0 + rng.uniform(0, 0.6) * (x * np.cos(angle)
                                                                 + y * np.sin(angle)))
    if rng.random() < 0.3:
        gain *= 1.0 - rng.uniform(0.1, 0.4) * (x * x + y * y)
    patch *= gain[:, :, None]


def _add_shadow(rng, patch):
    y, x = np.mgrid[0:PATCH_SIZE, 0:PATCH_SIZE].astype(np.float32)
    angle = rng.uniform(0, 2 * np.pi)
    distance = (x - rng.uniform(0, PATCH_SIZE)) * np.cos(angle) + \
        (y - rng.uniform(0, PATCH_SIZE)) * np.sin(angle)
    softness = rng.uniform(3, 25)
    if rng.random() < 0.5:
        shade = _sigmoid(distance / softness)
    else:
        shade = _sigmoid((rng.uniform(8, 40) - np.abs(distance)) / softness)
    patch *= (1.0 - rng.uniform(0.15, 0.45) * shade)[:, :, None]


def _sigmoid(values):
    # Clipped so that float32 exp cannot overflow; beyond +-80 the result rounds to 0 or 1 anyway.
    return 1.0 / (1.0 + np.exp(-np.clip(values, -80.0, 80.0)))


def _add_highlight(rng, patch):
    mask = _blob_mask(rng, rng.uniform(0, PATCH_SIZE, 2), rng.uniform(15, 60), 15.0)
    _blend(patch, mask, np.ones(3, np.float32), rng.uniform(0.1, 0.35))


def _add_glare(rng, patch):
    """Window glare on a polished floor: a long, bright streak that washes the floor out."""
    mask = np.zeros((PATCH_SIZE, PATCH_SIZE), np.float32)
    centre = tuple(int(v) for v in rng.uniform(0, PATCH_SIZE, 2))
    # From a crisp stripe to the broad, soft band a window throws across a whole patch: on dark
    # wood the band turns a warm brown as wide as a coffee stain, and must still read as floor.
    axes = (int(rng.uniform(40, 160)), int(rng.uniform(8, 40)))
    cv2.ellipse(mask, centre, axes, rng.uniform(0, 180), 0, 360, 1.0, -1, cv2.LINE_AA)
    mask = cv2.GaussianBlur(mask, (0, 0), rng.uniform(2, 16))
    patch *= (1.0 + rng.uniform(0.4, 1.0) * mask)[:, :, None]


def _camera_resampling(rng, patch):
    """A camera pixel covers more floor than a patch pixel, more so on the far side."""
    scale = rng.uniform(0.3, 0.9)
    small = (max(8, int(PATCH_SIZE * scale)), max(8, int(PATCH_SIZE * rng.uniform(scale, 1.0))))
    coarse = cv2.resize(cv2.resize(patch, small, interpolation=cv2.INTER_AREA),
                        (PATCH_SIZE, PATCH_SIZE), interpolation=cv2.INTER_LINEAR)
    if rng.random() < 0.5:
        return coarse
    ramp = np.linspace(0.0, 1.0, PATCH_SIZE, dtype=np.float32)[:, None, None]
    return patch * (1.0 - ramp) + coarse * ramp


def _photograph(rng, patch):
    """Light, shadow, highlight, glare, colour cast, blur, resampling, noise and JPEG artefacts."""
    if _recipe.extra_glare and rng.random() < _recipe.extra_glare:
        _add_glare(rng, patch)
    _add_lighting(rng, patch)
    if rng.random() < 0.35:
        _add_shadow(rng, patch)
    if rng.random() < 0.25:
        _add_highlight(rng, patch)
    if rng.random() < 0.15:
        _add_glare(rng, patch)
    patch *= rng.normal(1.0, 0.04, 3).astype(np.float32)
    blur = rng.random()
    if blur < 0.4:
        patch = cv2.GaussianBlur(patch, (0, 0), rng.uniform(0.3, 1.2))
    elif blur < 0.5:
        length = int(rng.integers(3, 8))
        kernel = np.zeros((length, length), np.float32)
        kernel[length // 2, :] = 1.0 / length
        rotation = cv2.getRotationMatrix2D((length / 2 - 0.5, length / 2 - 0.5),
                                           rng.uniform(0, 180), 1.0)
        patch = cv2.filter2D(patch, -1, cv2.warpAffine(kernel, rotation, (length, length)))
    if rng.random() < 0.5:
        patch = _camera_resampling(rng, patch)
    patch = patch + rng.normal(0, rng.uniform(0, 0.025), patch.shape).astype(np.float32)
    image = np.clip(patch * 255.0 + 0.5, 0, 255).astype(np.uint8)
    if rng.random() < 0.6:
        quality = int(rng.integers(35, 96))
        _, encoded = cv2.imencode('.jpg', image, [cv2.IMWRITE_JPEG_QUALITY, quality])
        image = cv2.imdecode(encoded, cv2.IMREAD_COLOR)
    return image
