#!/usr/bin/python3
"""Photographed floors for the patch generator and for scoring a model on real floor pictures.

The pictures are floor textures of Debian's game package ufoai-textures (`apt-get install
ufoai-textures`; GPL-2+, CC-BY-3.0 and CC-BY-SA-3.0, see /usr/share/doc/ufoai-textures/copyright),
most of them photographs of real rugs, carpet, concrete, tiles, wood and terrazzo. The ones below
were picked by eye as clean indoor floor: no grime, graffiti, gratings, walls or outdoor paving,
and grouped by how they look, whatever their file names say. Every second texture of each family
is held out, less those that are a training texture recoloured: the generator draws the others, and

    tools/photo_floors.py MODEL.onnx [MODEL.onnx ...]

scores models on patches cut from the held-out ones, all clean: the share of confident false
alarms and of confidently cleared patches (top probability at least 0.8), by family.

    tools/photo_floors.py --clean-patches DIR MODEL.onnx [MODEL.onnx ...]

scores them instead on your own patches of clean floor, every picture under DIR, grouped by the
folder directly under DIR that holds it (DIR/carpet/..., DIR/tiles/...).

    tools/photo_floors.py MODEL.onnx [MODEL.onnx ...] --raise 0 -0.5 -1.0

scores each model also with its clean logit raised by each amount (lowered when negative), as
`train_floor_classifier.py --raise-only` would write it, to find how far your floors let it go.
"""

import argparse
import math
import os
import sys
import zipfile

import cv2
import numpy as np

import floor_patches

TEXTURE_PACKAGE = '/usr/share/games/ufoai/base/0textures.pk3'
TRAIN, HELD_OUT = 'train', 'held_out'
CONFIDENT = 0.8
VERY_CONFIDENT = 0.99
PICTURE_EXTENSIONS = ('.jpg', '.jpeg', '.png', '.bmp', '.webp')
UNGROUPED = 'other'
HELD_OUT_SEED = 77
# Held-out textures whose picture is a training texture's recoloured or retouched (their grey
# patterns correlate 0.97-1.0): scored as unseen floors, they would flatter the model.
RECOLOURED_COPIES = (
    'textures/tex_alienb/ab_floor02.png',
    'textures/tex_buildings/concrete004.png',
    'textures/tex_buildings/concrete006.png',
    'textures/tex_buildings/floor022.png',
    'textures/tex_buildings/floor027.jpg',
    'textures/tex_material/wood001.png',
    'textures/tex_material/wood010.png',
    'textures/tex_mattn/floor013.jpg',
)

FAMILIES = {
    'rug': (
        'textures/tex_buildings/carpet001.png',
        'textures/tex_buildings/carpet002.png',
        'textures/tex_buildings/carpet003.png',
        'textures/tex_buildings/carpet004.png',
        'textures/tex_buildings/carpet005.png',
        'textures/tex_buildings/carpet007.png',
        'textures/tex_buildings/carpet008.png',
        'textures/tex_buildings/carpet009.png',
        'textures/tex_buildings/carpet010.png',
        'textures/tex_buildings/carpet011.png',
        'textures/tex_buildings/carpet012.png',
        'textures/tex_buildings/carpet013.png',
        'textures/tex_buildings/carpet014.png',
        'textures/tex_buildings/carpet015.png',
        'textures/tex_buildings/carpet017.png',
        'textures/tex_buildings/carpet018.png',
        'textures/tex_buildings/carpet019.png',
        'textures/tex_buildings/carpet021.png',
        'textures/tex_buildings/carpet022.png',
        'textures/tex_buildings/carpet023.png',
        'textures/tex_buildings/carpet024.png',
        'textures/tex_buildings/carpet025.png',
        'textures/tex_buildings/carpet026.png',
    ),
    'carpet': (
        'textures/tex_buildings/carpet006.jpg',
        'textures/tex_buildings/carpet027.png',
        'textures/tex_buildings/carpet028.png',
        'textures/tex_ctp1/wood_b_1.jpg',
        'textures/tex_ctp1/wood_b_11.jpg',
        'textures/tex_mattn/floor013.jpg',
        'textures/tex_mattn/floor014.jpg',
    ),
    'concrete': (
        'textures/tex_buildings/carpet029.png',
        'textures/tex_buildings/carpet030.png',
        'textures/tex_buildings/concrete001.jpg',
        'textures/tex_buildings/concrete002.jpg',
        'textures/tex_buildings/concrete003.png',
        'textures/tex_buildings/concrete004.png',
        'textures/tex_buildings/concrete005.png',
        'textures/tex_buildings/concrete006.png',
        'textures/tex_buildings/concrete007.png',
        'textures/tex_buildings/concrete008.png',
        'textures/tex_buildings/concrete014.png',
        'textures/tex_buildings/concrete022.jpg',
        'textures/tex_buildings/concrete023.jpg',
        'textures/tex_buildings/concrete024.png',
        'textures/tex_buildings/concrete_slabs01.png',
        'textures/tex_buildings/concrete_slabs02.png',
        'textures/tex_buildings/floor003.png',
        'textures/tex_buildings/floor005.png',
        'textures/tex_buildings/floor025.png',
        'textures/tex_buildings_snow/concrete001.png',
        'textures/tex_ctp1/concrete_g_1.jpg',
        'textures/tex_ctp1/concrete_g_10.jpg',
        'textures/tex_ctp1/concrete_g_11.jpg',
        'textures/tex_ctp1/concrete_g_4.jpg',
        'textures/tex_ctp1/concrete_g_5.jpg',
        'textures/tex_ctp1/concrete_g_6.jpg',
        'textures/tex_ctp1/concrete_g_7.jpg',
        'textures/tex_ctp1/concrete_g_8.jpg',
        'textures/tex_ctp1/concrete_g_9.jpg',
        'textures/tex_ctp1/concrete_p_10.jpg',
        'textures/tex_mattn/concrete001.jpg',
        'textures/tex_mattn/floor002.jpg',
        'textures/tex_mattn/floor003.jpg',
        'textures/tex_mattn/floor004.jpg',
        'textures/tex_mattn/floor005.jpg',
        'textures/tex_mattn/floor025.jpg',
        'textures/tex_mattn/floor026.jpg',
        'textures/tex_trak/trak4_concrete1a.png',
        'textures/tex_trak/trak4_concrete2a.png',
        'textures/tex_trak/trak4_concrete5a.png',
    ),
    'tiles': (
        'textures/tex_alienb/ab_floor01.png',
        'textures/tex_alienb/ab_floor02.png',
        'textures/tex_base/lab_floor003.jpg',
        'textures/tex_buildings/floor001.png',
        'textures/tex_buildings/floor004.png',
        'textures/tex_buildings/floor006.png',
        'textures/tex_buildings/floor008.png',
        'textures/tex_buildings/floor010.png',
        'textures/tex_buildings/floor012.jpg',
        'textures/tex_buildings/floor013.png',
        'textures/tex_buildings/floor015.png',
        'textures/tex_buildings/floor016.png',
        'textures/tex_buildings/floor017.png',
        'textures/tex_buildings/floor018.png',
        'textures/tex_buildings/floor019.png',
        'textures/tex_buildings/floor020.jpg',
        'textures/tex_buildings/floor021.png',
        'textures/tex_buildings/floor029.jpg',
        'textures/tex_buildings/floor030.jpg',
        'textures/tex_buildings/floor032.png',
        'textures/tex_buildings/sfloor1_2.jpg',
        'textures/tex_buildings/tile01.png',
        'textures/tex_buildings/tile02.png',
        'textures/tex_ctp1/concrete_s_1.jpg',
        'textures/tex_ctp1/tiles_b_1.jpg',
        'textures/tex_ctp1/tiles_b_2.jpg',
        'textures/tex_ctp1/tiles_b_3.jpg',
        'textures/tex_ctp1/tiles_g_3.jpg',
        'textures/tex_ctp1/tiles_g_4.jpg',
        'textures/tex_ctp1/tiles_m_5.jpg',
        'textures/tex_ctp1/tiles_m_6.jpg',
        'textures/tex_ctp1/tiles_r_2.jpg',
        'textures/tex_ctp1/tiles_w_1.jpg',
        'textures/tex_mattn/floor012.png',
        'textures/tex_mattn/floor024.jpg',
    ),
    'wood': (
        'textures/tex_buildings/floor002.png',
        'textures/tex_buildings/floor022.png',
        'textures/tex_buildings/floor026.jpg',
        'textures/tex_buildings/floor027.jpg',
        'textures/tex_buildings/floor034.png',
        'textures/tex_buildings/floor035.png',
        'textures/tex_buildings/floor036.png',
        'textures/tex_buildings/floor037.png',
        'textures/tex_buildings/floor038.png',
        'textures/tex_buildings/floor039.png',
        'textures/tex_buildings/floor_wood01.png',
        'textures/tex_buildings/wall_wood_001.jpg',
        'textures/tex_buildings/wizwood1_2.jpg',
        'textures/tex_buildings/woodceiling1a.jpg',
        'textures/tex_ctp1/wood_b_10.jpg',
        'textures/tex_ctp1/wood_b_6.jpg',
        'textures/tex_ctp1/wood_b_9.jpg',
        'textures/tex_ctp1/wood_g_1.jpg',
        'textures/tex_material/s_wood001.png',
        'textures/tex_material/s_wood002.png',
        'textures/tex_material/s_wood003.png',
        'textures/tex_material/wood001.png',
        'textures/tex_material/wood002.png',
        'textures/tex_material/wood003.png',
        'textures/tex_material/wood005.png',
        'textures/tex_material/wood008.png',
        'textures/tex_material/wood009.png',
        'textures/tex_material/wood010.png',
        'textures/tex_material/wood011.png',
        'textures/tex_material/wood012.png',
        'textures/tex_material/wood013.png',
        'textures/tex_material/wood014.png',
        'textures/tex_mattn/wood001.jpg',
        'textures/tex_mattn/wood008.jpg',
        'textures/tex_mattn/wood009.jpg',
        'textures/tex_mattn/wood010.jpg',
        'textures/tex_mattn/wood012.jpg',
        'textures/tex_mattn/wood025.jpg',
        'textures/tex_misc/laminate001.jpg',
    ),
    'terrazzo': (
        'textures/tex_mattn/floor006.jpg',
        'textures/tex_mattn/floor007.jpg',
        'textures/tex_mattn/floor008.jpg',
    ),
}


def texture_names(split):
    """(family, member name) of the split: held out are every second texture of each family,
    less the recoloured copies of training textures."""
    if split not in (TRAIN, HELD_OUT):
        raise ValueError(f'unknown split {split}')
    first = 0 if split == TRAIN else 1
    return [(family, name) for family, names in FAMILIES.items() for name in names[first::2]
            if name not in RECOLOURED_COPIES]


def load_textures(split, package=TEXTURE_PACKAGE):
    """(family, float32 BGR picture in [0, 1]) of every texture of the split."""
    if not os.path.exists(package):
        raise FileNotFoundError(f'{package} not found: apt-get install ufoai-textures')
    loaded = []
    with zipfile.ZipFile(package) as archive:
        for family, name in texture_names(split):
            encoded = np.frombuffer(archive.read(name), np.uint8)
            picture = cv2.imdecode(encoded, cv2.IMREAD_COLOR)
            if picture is None:
                raise ValueError(f'{package}: cannot decode {name}')
            loaded.append((family, picture.astype(np.float32) / 255.0))
    return loaded


def held_out_patches(per_texture, package=TEXTURE_PACKAGE):
    """Clean patches cut from the held-out textures, as the generator photographs a floor."""
    patches, families = [], []
    for index, (family, picture) in enumerate(load_textures(HELD_OUT, package)):
        for repeat in range(per_texture):
            rng = np.random.default_rng([HELD_OUT_SEED, index, repeat])
            patches.append(floor_patches.photographed_clean_floor(rng, picture))
            families.append(family)
    return np.stack(patches), np.array(families)


def folder_patches(directory):
    """Every picture under DIR, resized as the node does, grouped by its folder under DIR."""
    size = (floor_patches.PATCH_SIZE, floor_patches.PATCH_SIZE)
    patches, groups = [], []
    for root, folders, files in os.walk(directory):
        folders.sort()
        relative = os.path.relpath(root, directory)
        group = UNGROUPED if relative == os.curdir else relative.split(os.sep)[0]
        for name in sorted(files):
            if name.startswith('.') or not name.lower().endswith(PICTURE_EXTENSIONS):
                continue
            picture = cv2.imread(os.path.join(root, name), cv2.IMREAD_COLOR)
            if picture is None:
                print(f'skipped {os.path.join(root, name)}: not a readable picture')
                continue
            patches.append(cv2.resize(picture, size, interpolation=cv2.INTER_LINEAR))
            groups.append(group)
    if not patches:
        raise ValueError(f'{directory}: no pictures found')
    return np.stack(patches), np.array(groups)


def clean_floor_scores(probabilities, groups, group_order):
    """Rows (name, patches, % confident false alarms, % confidently cleared, % false alarms at
    0.99 or more): all patches first, then each group that has any."""
    top = probabilities.max(axis=1)
    stain = (top >= CONFIDENT) & (probabilities.argmax(axis=1) > 0)
    cleared = (top >= CONFIDENT) & (probabilities.argmax(axis=1) == 0)
    very_sure_stain = stain & (top >= VERY_CONFIDENT)
    selections = [('all', np.ones(len(groups), bool))] + [
        (group, groups == group) for group in group_order if np.any(groups == group)]
    return [(name, int(chosen.sum())) + tuple(
        100 * float(share[chosen].mean()) for share in (stain, cleared, very_sure_stain))
        for name, chosen in selections]


def shift_name(by):
    if by == 0:
        return ''
    return f' {"raised" if by > 0 else "lowered"} by {abs(by):g}'


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('models', nargs='+')
    parser.add_argument('--per-texture', type=int, default=12)
    parser.add_argument('--package', default=TEXTURE_PACKAGE)
    parser.add_argument('--clean-patches', metavar='DIR',
                        help='score pictures of clean floor under DIR instead of the textures')
    parser.add_argument('--raise', dest='raises', type=float, nargs='+', default=[0.0],
                        metavar='BY', help='score each model with its clean logit raised by each '
                        'BY (default 0: as the file is)')
    args = parser.parse_args()
    if args.per_texture < 1:
        parser.error('--per-texture must be at least 1')
    if not all(math.isfinite(by) for by in args.raises):
        parser.error('--raise takes finite numbers')
    # Imported here: the training tool imports this module for its --photo-floors.
    import train_floor_classifier
    if args.clean_patches:
        patches, groups = folder_patches(args.clean_patches)
        group_order = sorted(set(groups))
        source = f'clean pictures under {args.clean_patches}'
    else:
        patches, groups = held_out_patches(args.per_texture, args.package)
        group_order = list(FAMILIES)
        source = f'clean patches of {len(texture_names(HELD_OUT))} held-out textures'
    print(f'{len(patches)} {source}; confident false alarms / confidently cleared / '
          f'false alarms at {VERY_CONFIDENT} or more, %:')
    blobs = train_floor_classifier.preprocess(patches)
    for model in args.models:
        logits = train_floor_classifier.opencv_logits(cv2.dnn.readNetFromONNX(model), blobs)
        for by in args.raises:
            rows = clean_floor_scores(train_floor_classifier.softmax(logits + [by, 0.0, 0.0]),
                                      groups, group_order)
            print(f'{model}{shift_name(by)}: ' + '; '.join(
                f'{name} ({count}) {stain:.1f} / {cleared:.1f} / {very_sure:.1f}'
                for name, count, stain, cleared, very_sure in rows))


if __name__ == '__main__':
    sys.exit(main())
