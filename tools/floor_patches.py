"""Procedural 224 x 224 BGR floor patches for the floor classifier.

Classes: 0 clean, 1 dirty, 2 stubborn. A patch is a pure function of its label and seed, so
training, tests and other tools can regenerate exactly the same pictures.

Stain looks (documented in models/MODEL_CARD.md so that simulated stains can match them):
- dirt: many small dark specks, 2-6 px across, covering 2-10 % of the patch, scattered or in
  clusters, a few light crumbs among them, sometimes a faint grey dust film;
- water: 1-3 translucent soft-edged blobs darkening the floor by 8-25 %, often with a darker
  tide rim and a faint sheen;
- stubborn: opaque brown/black blobs (coffee, oil, dark vomit) covering 8-35 % with satellite
  drops.
"""

import cv2
import numpy as np

PATCH_SIZE = 224
CLASS_NAMES = ('clean', 'dirty', 'stubborn')
CLEAN, DIRTY, STUBBORN = range(3)
MATERIALS = ('tiles', 'wood', 'concrete', 'vinyl', 'carpet')

# The floor is drawn larger than the patch so that a tilted, scaled quadrilateral of it can be
# warped into the patch, as the node does with a camera's view of the floor.
_CANVAS_SIZE = 384
_AREA = PATCH_SIZE * PATCH_SIZE


def make_patch(label, seed, material=None):
    """Return one uint8 BGR patch of class `label` (0, 1 or 2) drawn from integer `seed`."""
    if label not in (CLEAN, DIRTY, STUBBORN):
        raise ValueError(f'unknown floor class {label}')
    rng = np.random.default_rng(seed)
    material = material or MATERIALS[rng.integers(len(MATERIALS))]
    patch = _view_of_floor(rng, _FLOOR_PAINTERS[material](rng, _CANVAS_SIZE))
    if label == CLEAN:
        _add_stray_specks(rng, patch)
    elif label == DIRTY:
        _add_dirt(rng, patch)
    else:
        _add_stubborn_stain(rng, patch)
    return _photograph(rng, patch)


def make_dataset(count, seed, stream=0):
    """Return `count` patches (N x 224 x 224 x 3 uint8 BGR) with labels cycling 0, 1, 2.

    Patch i is make_patch(i % 3, [seed, stream, i]); different streams never share a patch.
    """
    patches = np.empty((count, PATCH_SIZE, PATCH_SIZE, 3), np.uint8)
    labels = np.arange(count) % 3
    for index in range(count):
        patches[index] = make_patch(int(labels[index]), [seed, stream, index])
    return patches, labels


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


def _paint_tiles(rng, size):
    palette = [_rgb(235, 232, 225), _rgb(215, 200, 175), _rgb(170, 170, 172), _rgb(185, 95, 65),
               _rgb(70, 75, 85), _rgb(200, 210, 220), _rgb(120, 110, 100)]
    base = _jitter_colour(rng, palette[rng.integers(len(palette))], 0.06)
    tile_w = rng.uniform(36, 120)
    tile_h = tile_w * rng.choice([1.0, 1.0, 0.5, 2.0])
    stagger = rng.choice([0.0, 0.0, 0.5])
    grout_w = rng.uniform(1.0, 4.0)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    row = np.floor(y / tile_h)
    shifted_x = x + row * stagger * tile_w
    col = np.floor(shifted_x / tile_w)
    local_x = shifted_x - col * tile_w
    local_y = y - row * tile_h
    edge_distance = np.minimum(np.minimum(local_x, tile_w - local_x),
                               np.minimum(local_y, tile_h - local_y))
    tone_table = rng.normal(0.0, 0.04, (64, 64)).astype(np.float32)
    tone = tone_table[row.astype(int) % 64, col.astype(int) % 64]
    variation = tone + rng.uniform(0.01, 0.05) * _fractal_noise(rng, size, 40)
    if rng.random() < 0.3:
        veins = np.exp(-(_fractal_noise(rng, size, 60, 3) / 0.06) ** 2)
        variation -= rng.uniform(0.08, 0.25) * veins
    floor = _shade(base, variation)
    grout_colour = _jitter_colour(rng, rng.choice([0.25, 0.5, 0.7, 0.85]) * np.ones(3, np.float32),
                                  0.05)
    grout = np.clip(grout_w / 2.0 - edge_distance + 0.5, 0.0, 1.0)[:, :, None]
    return floor * (1.0 - grout) + grout_colour * grout


def _paint_wood(rng, size):
    palette = [_rgb(200, 160, 110), _rgb(110, 75, 50), _rgb(160, 90, 60), _rgb(165, 155, 145),
               _rgb(225, 200, 160), _rgb(140, 105, 70)]
    base = _jitter_colour(rng, palette[rng.integers(len(palette))], 0.06)
    plank_w = rng.uniform(28, 70)
    plank_len = rng.uniform(150, 500)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    row = np.floor(y / plank_w).astype(int)
    shifted_x = x + rng.uniform(0, plank_len, 64).astype(np.float32)[row % 64]
    segment = np.floor(shifted_x / plank_len).astype(int)
    tone = rng.normal(0.0, 0.07, (64, 64)).astype(np.float32)[row % 64, segment % 64]
    grain = _streak_noise(rng, size, rng.uniform(1.5, 4.0), rng.uniform(30, 90))
    period = rng.uniform(6, 16)
    rings = np.sin(2 * np.pi * (y + 6.0 * _smooth_noise(rng, size, 50)) / period)
    variation = tone + rng.uniform(0.04, 0.1) * grain + rng.uniform(0.0, 0.05) * rings
    floor = _shade(base, variation)
    seam = ((y % plank_w) < 1.5) | ((shifted_x % plank_len) < 1.5)
    floor[seam] *= rng.uniform(0.45, 0.75)
    # Knots are dark, round and small: the clean class must not call them dirt.
    for _ in range(rng.integers(0, 4)):
        knot = np.zeros((size, size), np.float32)
        centre = (int(rng.uniform(0, size)), int(rng.uniform(0, size)))
        axes = (int(rng.uniform(3, 10)), int(rng.uniform(2, 5)))
        cv2.ellipse(knot, centre, axes, 0, 0, 360, 1.0, -1)
        knot = cv2.GaussianBlur(knot, (0, 0), 1.5)[:, :, None]
        floor *= 1.0 - rng.uniform(0.25, 0.5) * knot
    return floor


def _paint_concrete(rng, size):
    grey = rng.uniform(0.4, 0.75)
    base = _jitter_colour(rng, np.full(3, grey, np.float32), 0.04)
    variation = rng.uniform(0.03, 0.09) * _fractal_noise(rng, size, rng.uniform(30, 90))
    variation += rng.uniform(0.02, 0.05) * rng.standard_normal((size, size)).astype(np.float32)
    # Aggregate flecks: one pixel, lighter and darker, far fainter than dirt.
    flecks = rng.random((size, size)) < rng.uniform(0.005, 0.02)
    variation[flecks] += rng.choice([-1.0, 1.0], int(flecks.sum())) * rng.uniform(0.06, 0.15)
    return _shade(base, variation)


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


def _paint_carpet(rng, size):
    hsv = np.uint8([[[rng.uniform(0, 180), rng.uniform(10, 160), rng.uniform(50, 200)]]])
    base = cv2.cvtColor(hsv, cv2.COLOR_HSV2BGR)[0, 0].astype(np.float32) / 255.0
    fibres = cv2.GaussianBlur(rng.standard_normal((size, size)).astype(np.float32), (0, 0), 0.7)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    pitch = rng.uniform(2.5, 5.0)
    loops = np.sin(2 * np.pi * x / pitch) * np.sin(2 * np.pi * y / pitch)
    variation = (rng.uniform(0.1, 0.25) * fibres + rng.uniform(0.0, 0.06) * loops
                 + rng.uniform(0.03, 0.08) * _fractal_noise(rng, size, 60))
    if rng.random() < 0.3:
        variation += rng.uniform(0.05, 0.12) * np.sign(np.sin(2 * np.pi * y / rng.uniform(20, 60)))
    return _shade(base, variation)


_FLOOR_PAINTERS = {
    'tiles': _paint_tiles,
    'wood': _paint_wood,
    'concrete': _paint_concrete,
    'vinyl': _paint_vinyl,
    'carpet': _paint_carpet,
}


def _view_of_floor(rng, floor):
    """Warp a rotated, tapered, scaled quadrilateral of the floor into the patch."""
    side = rng.uniform(150, 280)
    corners = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]], np.float32) * side / 2
    corners[:2, 0] *= 1.0 - rng.uniform(0.0, 0.25)
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


def _draw_specks(rng, covered_px, diameter_range, cluster_share):
    """Mask of small specks drawn until about `covered_px` pixels are covered."""
    mask = np.zeros((PATCH_SIZE, PATCH_SIZE), np.uint8)
    clusters = [(_random_centre(rng), rng.uniform(15, 60)) for _ in range(rng.integers(1, 4))]
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


def _add_specks(rng, patch):
    coverage = rng.uniform(0.02, 0.10)
    dark = _jitter_colour(rng, _rgb(45, 38, 30) * rng.uniform(0.6, 1.6), 0.1)
    _blend(patch, _draw_specks(rng, coverage * _AREA, (2.0, 6.0), rng.uniform(0.0, 0.8)), dark,
           rng.uniform(0.7, 0.95))
    if rng.random() < 0.5:
        crumbs = _draw_specks(rng, coverage * _AREA * rng.uniform(0.05, 0.2), (2.0, 5.0), 0.3)
        _blend(patch, crumbs, _jitter_colour(rng, _rgb(200, 170, 120), 0.1), 0.9)
    if rng.random() < 0.3:
        dust = np.clip(_smooth_noise(rng, PATCH_SIZE, 50) * 0.5 + 0.5, 0.0, 1.0)
        _blend(patch, dust, np.full(3, 0.6, np.float32), rng.uniform(0.05, 0.12))


def _add_water_stains(rng, patch):
    for _ in range(rng.integers(1, 4)):
        area = rng.uniform(0.03, 0.15) * _AREA
        mask = _blob_mask(rng, _random_centre(rng), np.sqrt(area / np.pi), rng.uniform(1.5, 5.0))
        darkening = mask * rng.uniform(0.08, 0.25)
        if rng.random() < 0.6:
            darkening += _rim(mask, int(rng.integers(2, 5))) * rng.uniform(0.05, 0.12)
        patch *= (1.0 - darkening)[:, :, None]
        if rng.random() < 0.5:
            sheen = _blob_mask(rng, _random_centre(rng), np.sqrt(area / np.pi) * 0.6, 6.0)
            _blend(patch, sheen * mask, np.ones(3, np.float32), rng.uniform(0.05, 0.15))


def _add_dirt(rng, patch):
    kind = rng.random()
    if kind < 0.45:
        _add_specks(rng, patch)
    elif kind < 0.85:
        _add_water_stains(rng, patch)
    else:
        _add_water_stains(rng, patch)
        _add_specks(rng, patch)


def _add_stubborn_stain(rng, patch):
    palette = [_rgb(80, 50, 30), _rgb(111, 78, 55), _rgb(20, 20, 22), _rgb(60, 40, 25),
               _rgb(95, 80, 40), _rgb(40, 28, 20)]
    colour = _jitter_colour(rng, palette[rng.integers(len(palette))], 0.1)
    coverage = rng.uniform(0.08, 0.35)
    blobs = rng.integers(1, 4)
    mask = np.zeros((PATCH_SIZE, PATCH_SIZE), np.float32)
    for _ in range(blobs):
        radius = np.sqrt(coverage * _AREA / blobs / np.pi)
        mask = np.maximum(mask, _blob_mask(rng, _random_centre(rng), radius, rng.uniform(0.8, 3)))
    for _ in range(rng.integers(0, 8)):
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
    if rng.random() < 0.15:
        _add_specks(rng, patch)


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
        shade = 1.0 / (1.0 + np.exp(-distance / softness))
    else:
        shade = 1.0 / (1.0 + np.exp((np.abs(distance) - rng.uniform(8, 40)) / softness))
    patch *= (1.0 - rng.uniform(0.15, 0.45) * shade)[:, :, None]


def _add_highlight(rng, patch):
    mask = _blob_mask(rng, rng.uniform(0, PATCH_SIZE, 2), rng.uniform(15, 60), 15.0)
    _blend(patch, mask, np.ones(3, np.float32), rng.uniform(0.1, 0.35))


def _photograph(rng, patch):
    """Light, shadow, highlight, colour cast, blur, sensor noise and JPEG artefacts."""
    _add_lighting(rng, patch)
    if rng.random() < 0.35:
        _add_shadow(rng, patch)
    if rng.random() < 0.25:
        _add_highlight(rng, patch)
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
    patch = patch + rng.normal(0, rng.uniform(0, 0.025), patch.shape).astype(np.float32)
    image = np.clip(patch * 255.0 + 0.5, 0, 255).astype(np.uint8)
    if rng.random() < 0.6:
        quality = int(rng.integers(35, 96))
        _, encoded = cv2.imencode('.jpg', image, [cv2.IMWRITE_JPEG_QUALITY, quality])
        image = cv2.imdecode(encoded, cv2.IMREAD_COLOR)
    return image
