#!/usr/bin/python3
"""Checks of tools/floor_patches.py that training and the shipped samples rely on.

Run by ctest when VELMORA_TRAINING_TESTS is on.
"""

import contextlib
import multiprocessing
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock
import zipfile

import cv2

import numpy as np

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
sys.path.insert(0, os.path.join(SOURCE_DIR, 'tools'))
import floor_patches  # noqa: E402
import photo_floors  # noqa: E402


@contextlib.contextmanager
def recording_stains(masks):
    """While active, the mask of every dirt or stubborn stain the generator draws lands in
    `masks`."""
    def recorded(add_stain):
        def add_and_record(rng, patch, tiny=False):
            mask = add_stain(rng, patch, tiny)
            masks.append(mask > 0.5)
            return mask
        return add_and_record

    with mock.patch.object(floor_patches, '_add_dirt', recorded(floor_patches._add_dirt)), \
            mock.patch.object(floor_patches, '_add_stubborn_stain',
                              recorded(floor_patches._add_stubborn_stain)):
        yield


@contextlib.contextmanager
def recording_floors(painted):
    """While active, the name of every painted floor the generator draws lands in `painted`."""
    def recorded(name, paint):
        def paint_and_record(rng, size):
            painted.append(name)
            return paint(rng, size)
        return paint_and_record

    painters = {name: recorded(name, paint)
                for name, paint in floor_patches._FLOOR_PAINTERS.items()}
    with mock.patch.dict(floor_patches._FLOOR_PAINTERS, painters):
        yield


def final_stain_masks(recipe, seed, count=60):
    """The stain that each of `count` dirty and stubborn patches of the recipe kept, as a mask."""
    masks = []
    floor_patches.use_recipe(recipe)
    finals = []
    with recording_stains(masks):
        for index in range(count):
            floor_patches.make_patch(1 + index % 2, [seed, 0, index])
            finals.append(masks[-1])
    return finals


class FloorPatchesTest(unittest.TestCase):
    def test_a_patch_depends_on_its_label_and_seed_alone(self):
        serial, labels = floor_patches.make_dataset(6, seed=3, stream=1, workers=1)
        parallel, _ = floor_patches.make_dataset(6, seed=3, stream=1, workers=2)
        np.testing.assert_array_equal(serial, parallel)
        np.testing.assert_array_equal(labels, [0, 1, 2, 0, 1, 2])
        np.testing.assert_array_equal(serial[4], floor_patches.make_patch(1, [3, 1, 4]))
        self.assertFalse(np.array_equal(serial[0], floor_patches.make_patch(0, [3, 2, 0])))

    def test_black_beyond_the_picture_lies_along_one_edge(self):
        size = floor_patches.PATCH_SIZE
        for seed in range(40):
            image = np.full((size, size, 3), 200, np.uint8)
            floor_patches._black_out_beyond_the_picture(np.random.default_rng(seed), image)
            black = image[:, :, 0] < 100
            self.assertTrue(np.array_equal(image[:, :, 0], image[:, :, 2]))
            edges = [black[:, :2].mean(), black[:, -2:].mean(), black[:2, :].mean(),
                     black[-2:, :].mean()]
            self.assertGreater(max(edges), 0.0, f'seed {seed}: no edge reached')
            self.assertLessEqual(black.mean(), 0.21, f'seed {seed}: too much blacked out')
            self.assertEqual(int(image[size // 2, size // 2, 0]), 200, f'seed {seed}: centre hit')

    def test_stain_under_a_wall_does_not_count_towards_the_label(self):
        size = floor_patches.PATCH_SIZE
        wall = np.zeros((size, size), np.float32)
        wall[:size // 2] = 1.0

        def sliver_in_row(row):
            def add_stain(rng, patch, tiny):
                patch[row, :100] = 0.0
                mask = np.zeros((size, size), np.float32)
                mask[row, :100] = 1.0
                return mask
            return add_stain

        floor = np.ones((size, size, 3), np.float32)
        for row, visible in ((10, False), (size - 10, True)):
            stained = floor_patches._with_stain_share(
                np.random.default_rng(0), floor, sliver_in_row(row), 1e-4,
                floor_patches._MAX_CLEAN_STAIN_SHARE, wall)
            self.assertEqual(bool((stained[0] == 0).any()), visible, f'sliver in row {row}')

    def test_a_stained_patch_whose_stain_stays_hidden_is_refused(self):
        size = floor_patches.PATCH_SIZE
        wall = np.ones((size, size), np.float32)
        wall[-2:] = 0.0

        def blob(rng, patch, tiny):
            mask = np.zeros((size, size), np.float32)
            mask[100:140, 100:140] = 1.0
            return mask

        floor = np.ones((size, size, 3), np.float32)
        self.assertIsNone(floor_patches._with_stain_share(
            np.random.default_rng(0), floor, blob, floor_patches._MIN_STAIN_SHARE, 1.0, wall))
        self.assertIsNotNone(floor_patches._with_stain_share(
            np.random.default_rng(0), floor, blob, floor_patches._MIN_STAIN_SHARE, 1.0,
            np.zeros_like(wall)))

    def test_black_beyond_the_picture_leaves_a_stained_patch_its_stain(self):
        # The black comes last, over the stain: a dirty label on black alone would teach that the
        # fisheye's black arc is dirt. Walls are left out: what they hide is counted elsewhere.
        drawn, blacked_out = [], []
        black_out = floor_patches._black_out_beyond_the_picture

        def recorded_black(rng, image, *rest):
            before = image.copy()
            black_out(rng, image, *rest)
            blacked_out.append(np.any(image != before, axis=2))

        self.addCleanup(floor_patches.use_recipe, 'standard')
        floor_patches.use_recipe('edges', wall_chance=0.0)
        with mock.patch.object(floor_patches, '_black_out_beyond_the_picture', recorded_black), \
                recording_stains(drawn):
            for index in range(300):
                blacked_out.clear()
                floor_patches.make_patch(1 + index % 2, [500, 0, index])
                if not blacked_out:
                    continue
                stain = drawn[-1]
                self.assertGreaterEqual(float(np.mean(stain & ~blacked_out[-1])),
                                        floor_patches._MIN_STAIN_SHARE,
                                        f'patch {index}: {np.mean(stain):.4f} of stain drawn')

    def test_a_stain_must_stand_out_from_the_floor_when_a_contrast_is_asked(self):
        size = floor_patches.PATCH_SIZE

        def darkening_by(amount):
            def puddle(rng, patch, tiny):
                mask = np.zeros((size, size), np.float32)
                mask[100:140, 100:140] = 1.0
                patch *= 1.0 - amount * mask[:, :, None]
                return mask
            return puddle

        rng = np.random.default_rng(0)
        busy = np.clip(0.5 + rng.normal(0, 0.1, (size, size, 1)), 0, 1).repeat(3, axis=2)
        plain = np.full((size, size, 3), 0.5, np.float32) + rng.normal(0, 0.01, (size, size, 1))
        hidden = np.zeros((size, size), np.float32)
        low = floor_patches._MIN_STAIN_SHARE

        def kept(floor, amount, contrast):
            return floor_patches._with_stain_share(
                np.random.default_rng(0), floor.astype(np.float32), darkening_by(amount), low,
                1.0, hidden, contrast) is not None

        self.assertTrue(kept(busy, 0.12, 0.0))
        self.assertFalse(kept(busy, 0.12, 1.5), 'a puddle lost in a busy floor')
        self.assertTrue(kept(busy, 0.5, 1.5))
        self.assertTrue(kept(plain, 0.12, 1.5))

    def test_water_darkens_the_floor_under_it_visibly(self):
        # Fainter water hides in the texture of busy and dark floors, yet would be labelled dirty.
        size = floor_patches.PATCH_SIZE
        for seed in range(40):
            patch = np.full((size, size, 3), 0.5, np.float32)
            mask = floor_patches._add_water_stains(np.random.default_rng(seed), patch)
            darkening = 1.0 - patch[:, :, 1] / 0.5
            self.assertGreaterEqual(float(np.median(darkening[mask > 0.99])), 0.12, f'seed {seed}')


class PhotographedFloorsTest(unittest.TestCase):
    def tearDown(self):
        floor_patches.use_photographed_floors([])

    def test_photographed_floors_replace_a_share_of_the_painted_ones(self):
        seeds = [[5, 0, index] for index in range(30)]
        painted = [floor_patches.make_patch(index % 2, seed) for index, seed in enumerate(seeds)]
        magenta = np.zeros((64, 48, 3), np.float32)
        magenta[:, :, 0] = magenta[:, :, 2] = 0.8
        floor_patches.use_photographed_floors([('wood', magenta)])
        mixed = [floor_patches.make_patch(index % 2, seed) for index, seed in enumerate(seeds)]
        on_magenta = [np.median(patch[:, :, 1]) < 0.5 * np.median(patch[:, :, 0])
                      for patch in mixed]
        self.assertTrue(3 <= sum(on_magenta) <= 16, f'{sum(on_magenta)} of 30 on the picture')
        self.assertTrue(any(on_magenta[1::2]), 'no stained patch on the picture')
        floor_patches.use_photographed_floors([])
        for index, seed in enumerate(seeds):
            np.testing.assert_array_equal(painted[index],
                                          floor_patches.make_patch(index % 2, seed))

    def test_workers_draw_by_the_recipe_and_floors_of_the_process_whatever_its_start_method(self):
        picture = np.zeros((64, 48, 3), np.float32)
        picture[:, :, 0] = picture[:, :, 2] = 0.8
        floor_patches.use_photographed_floors([('rug', picture)])
        self.addCleanup(floor_patches.use_recipe, 'standard')
        floor_patches.use_recipe('rugs')
        default = multiprocessing.get_start_method()
        self.addCleanup(multiprocessing.set_start_method, default, force=True)
        # Newer interpreters start workers by forkserver; spawn has the same clean slate.
        multiprocessing.set_start_method('spawn', force=True)
        serial, _ = floor_patches.make_dataset(6, seed=8, workers=1)
        parallel, _ = floor_patches.make_dataset(6, seed=8, workers=2)
        np.testing.assert_array_equal(serial, parallel)

    def test_the_rugs_recipe_draws_rugs_often_and_never_under_dirt(self):
        rug, other = np.zeros((64, 48, 3), np.float32), np.zeros((64, 48, 3), np.float32)
        rug[:, :, 0] = rug[:, :, 2] = 0.8
        other[:, :, 1] = 0.8
        floor_patches.use_photographed_floors([('rug', rug), ('wood', other), ('tiles', other)])
        self.addCleanup(floor_patches.use_recipe, 'standard')
        floor_patches.use_recipe('rugs')

        def on_rug(patch):
            return np.median(patch[:, :, 1]) < 0.5 * np.median(patch[:, :, 0])

        seeds = [[6, 0, index] for index in range(40)]
        dirty = [on_rug(floor_patches.make_patch(floor_patches.DIRTY, seed)) for seed in seeds]
        clean = [on_rug(floor_patches.make_patch(floor_patches.CLEAN, seed)) for seed in seeds]
        self.assertFalse(any(dirty), 'a dirty patch on a rug')
        # 60 % photographed, of them half rugs: about 12 of 40.
        self.assertTrue(6 <= sum(clean) <= 20, f'{sum(clean)} of 40 clean patches on a rug')

    def test_dirt_kept_off_patterns_lands_on_plain_floors_only(self):
        patterned, plain = np.zeros((64, 48, 3), np.float32), np.zeros((64, 48, 3), np.float32)
        patterned[:, :, 0] = patterned[:, :, 2] = 0.8
        plain[:, :, 1] = 0.8
        floor_patches.use_photographed_floors(
            [('rug', patterned), ('terrazzo', patterned), ('wood', plain)])
        self.addCleanup(floor_patches.use_photographed_floors, [])
        painted = []

        def floors_under(label):
            painted.clear()
            patches = [floor_patches.make_patch(label, [10, 0, index]) for index in range(60)]
            on_pattern = [np.median(patch[:, :, 1]) < 0.5 * np.median(patch[:, :, 0])
                          for patch in patches]
            return sum(on_pattern), set(painted) & {'rug', 'terrazzo', 'mosaic'}

        self.addCleanup(floor_patches.use_recipe, 'standard')
        floor_patches.use_recipe('standard', dirt_off_patterns=True)
        with recording_floors(painted):
            self.assertEqual(floors_under(floor_patches.DIRTY), (0, set()))
            photographed, painted_patterns = floors_under(floor_patches.STUBBORN)
        self.assertGreater(photographed, 0)
        self.assertTrue(painted_patterns, 'no stubborn stain on a painted pattern')

    def test_the_faint_recipe_draws_small_stains_that_still_count_as_stains(self):
        self.addCleanup(floor_patches.use_recipe, 'standard')
        standard, faint = (np.array([np.mean(mask) for mask in final_stain_masks(recipe, 8)])
                           for recipe in ('standard', 'faint'))
        self.assertGreaterEqual(faint.min(), 0.012)
        # Half the faint recipe's stains are drawn small, on top of the standard ones that are.
        self.assertGreater(np.mean(faint <= 0.04), np.mean(standard <= 0.04) + 0.2)

    def test_the_slivers_recipe_puts_stains_just_under_what_counts_on_clean_patches(self):
        def clean_stains(recipe):
            floor_patches.use_recipe(recipe)
            masks = []
            with recording_stains(masks):
                for index in range(60):
                    floor_patches.make_patch(floor_patches.CLEAN, [11, 0, index])
            return [float(np.mean(mask)) for mask in masks]

        self.addCleanup(floor_patches.use_recipe, 'standard')
        standard, slivers = clean_stains('standard'), clean_stains('slivers')
        self.assertGreater(len(slivers), 2 * len(standard))
        # Drawn whole; what the patch keeps in view of them is smaller still.
        self.assertLess(max(standard), 0.012)
        self.assertLess(max(slivers), 0.012)
        self.assertGreater(np.mean(np.array(slivers) > 0.003), 0.5)

    def test_the_dark_floors_recipe_paints_dark_floors_under_clean_and_dirty_patches_alike(self):
        first_painted = []

        def dark_shares(recipe):
            floor_patches.use_recipe(recipe, dirt_off_patterns=True)
            shares = []
            for label in (floor_patches.CLEAN, floor_patches.DIRTY):
                dark = []
                for index in range(50):
                    first_painted.clear()
                    floor_patches.make_patch(label, [12, 0, index])
                    dark.append(first_painted[0] in ('dark_tiles', 'dark_wood', 'dark_concrete'))
                shares.append(np.mean(dark))
            return shares

        self.addCleanup(floor_patches.use_recipe, 'standard')
        with recording_floors(first_painted):
            standard, dark_floors = dark_shares('standard'), dark_shares('dark_floors')
        # By weight, dark floors are about a third of the painted floors, and two thirds when
        # drawn four times as often.
        self.assertLess(max(standard), 0.45)
        self.assertGreater(min(dark_floors), 0.45)

    def test_the_edges_recipe_cuts_most_stains_by_the_patch_edge(self):
        def cut_by_the_edge(mask):
            return mask[0].any() or mask[-1].any() or mask[:, 0].any() or mask[:, -1].any()

        self.addCleanup(floor_patches.use_recipe, 'standard')
        standard, edges = final_stain_masks('standard', 9), final_stain_masks('edges', 9)
        self.assertGreaterEqual(min(float(np.mean(mask)) for mask in edges), 0.012)
        cut_standard = np.mean([cut_by_the_edge(mask) for mask in standard])
        cut_edges = np.mean([cut_by_the_edge(mask) for mask in edges])
        self.assertGreater(cut_edges, cut_standard + 0.2, f'{cut_edges} against {cut_standard}')

    def test_the_soft_water_recipe_draws_larger_puddles_with_softer_edges(self):
        def puddles(recipe):
            floor_patches.use_recipe(recipe)
            size = floor_patches.PATCH_SIZE
            return [floor_patches._add_water_stains(np.random.default_rng(seed),
                                                    np.full((size, size, 3), 0.5, np.float32))
                    for seed in range(80)]

        def soft_band_per_area(mask):
            return np.sum((mask > 0.05) & (mask < 0.95)) / max(1, np.sum(mask > 0.5))

        self.addCleanup(floor_patches.use_recipe, 'standard')
        standard, soft = puddles('standard'), puddles('soft_water')
        share = [np.median([np.mean(mask > 0.5) for mask in masks]) for masks in (standard, soft)]
        self.assertGreater(share[1], 1.3 * share[0])
        # The edge spreads in proportion to the radius, so its band per area does not depend on
        # the size: wider here means softer.
        band = [np.median([soft_band_per_area(mask) for mask in masks])
                for masks in (standard, soft)]
        self.assertGreater(band[1], band[0] + 0.15, band)

    def test_contrasting_planks_spread_the_tones_of_the_boards(self):
        def board_spread(contrasting_planks):
            floor_patches.use_recipe('standard', contrasting_planks=contrasting_planks)
            spreads = []
            for seed in range(30):
                wood = floor_patches._paint_wood(np.random.default_rng(seed), 192,
                                                 floor_patches._DARK_WOODS)
                # Blurred along the boards, the grain fades and the boards' tones remain.
                boards = cv2.blur(wood.mean(axis=2), (61, 1))
                spreads.append(np.std(boards) / np.mean(boards))
            return np.median(spreads)

        self.addCleanup(floor_patches.use_recipe, 'standard')
        usual, contrasting = board_spread(0.0), board_spread(1.0)
        self.assertGreater(contrasting, 1.25 * usual, f'{contrasting} against {usual}')

    def test_a_recipe_changes_the_patches_until_the_standard_one_is_back(self):
        seeds = [[7, 0, index] for index in range(12)]
        standard = [floor_patches.make_patch(index % 3, seed) for index, seed in enumerate(seeds)]
        self.addCleanup(floor_patches.use_recipe, 'standard')
        floor_patches.use_recipe('junctions')
        junctions = [floor_patches.make_patch(index % 3, seed) for index, seed in enumerate(seeds)]
        self.assertFalse(all(np.array_equal(a, b) for a, b in zip(standard, junctions)))
        floor_patches.use_recipe('standard')
        for index, seed in enumerate(seeds):
            np.testing.assert_array_equal(standard[index],
                                          floor_patches.make_patch(index % 3, seed))
        with self.assertRaises(ValueError):
            floor_patches.use_recipe('carpets')

    def test_textures_load_from_the_package_in_two_disjoint_halves(self):
        train = photo_floors.texture_names(photo_floors.TRAIN)
        held_out = photo_floors.texture_names(photo_floors.HELD_OUT)
        names = [name for _, name in train + held_out]
        self.assertEqual(len(names), len(set(names)))
        self.assertEqual(len(names) + len(photo_floors.RECOLOURED_COPIES),
                         sum(len(group) for group in photo_floors.FAMILIES.values()))
        self.assertEqual({family for family, _ in held_out}, set(photo_floors.FAMILIES))
        with tempfile.TemporaryDirectory() as directory:
            package = os.path.join(directory, 'textures.pk3')
            grey = cv2.imencode('.png', np.full((8, 12, 3), 128, np.uint8))[1].tobytes()
            with zipfile.ZipFile(package, 'w') as archive:
                for name in names:
                    archive.writestr(name, grey)
            pictures = photo_floors.load_textures(photo_floors.HELD_OUT, package)
            self.assertEqual([family for family, _ in pictures], [f for f, _ in held_out])
            self.assertAlmostEqual(float(pictures[0][1].max()), 128 / 255, places=6)
            patches, families = photo_floors.held_out_patches(1, package)
            self.assertEqual(patches.shape, (len(held_out), 224, 224, 3))
            self.assertEqual(list(families), [family for family, _ in held_out])
            broken = os.path.join(directory, 'broken.pk3')
            with zipfile.ZipFile(package) as source, zipfile.ZipFile(broken, 'w') as target:
                for name in source.namelist():
                    data = b'not a picture' if name == held_out[0][1] else source.read(name)
                    target.writestr(name, data)
            with self.assertRaisesRegex(ValueError, held_out[0][1]):
                photo_floors.load_textures(photo_floors.HELD_OUT, broken)
            with self.assertRaisesRegex(FileNotFoundError, 'apt-get install ufoai-textures'):
                photo_floors.load_textures(photo_floors.TRAIN, os.path.join(directory, 'none'))

    @unittest.skipUnless(os.path.exists(photo_floors.TEXTURE_PACKAGE), 'ufoai-textures missing')
    def test_no_held_out_texture_is_a_training_texture_recoloured(self):
        # Scores on the held-out textures stand for floors the model never saw.
        def pattern(picture):
            grey = cv2.resize(picture.mean(axis=2), (128, 128), interpolation=cv2.INTER_AREA)
            return ((grey - grey.mean()) / (grey.std() + 1e-6)).ravel()

        train, held_out = (photo_floors.load_textures(split)
                           for split in (photo_floors.TRAIN, photo_floors.HELD_OUT))
        train_patterns = np.stack([pattern(picture) for _, picture in train])
        names = [name for _, name in photo_floors.texture_names(photo_floors.HELD_OUT)]
        for name, (_, picture) in zip(names, held_out):
            likeness = float(np.max(train_patterns @ pattern(picture))) / train_patterns.shape[1]
            self.assertLess(likeness, 0.95, name)


class CleanFloorPicturesTest(unittest.TestCase):
    def write_pictures(self, directory):
        grey = np.full((30, 40, 3), 128, np.uint8)
        files = {'carpet/a.png': None, 'carpet/phone/b.jpg': None, 'tiles/c.png': None,
                 'loose.png': None, 'tiles/.hidden.png': None, 'tiles/notes.txt': 'text',
                 'tiles/broken.jpg': 'not a picture'}
        for relative, text in files.items():
            path = os.path.join(directory, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if text is None:
                cv2.imwrite(path, grey)
            else:
                with open(path, 'w') as file:
                    file.write(text)

    def test_pictures_are_grouped_by_their_top_folder_and_odd_files_skipped(self):
        with tempfile.TemporaryDirectory() as directory:
            self.write_pictures(directory)
            patches, groups = photo_floors.folder_patches(directory)
            self.assertEqual(patches.shape, (4, 224, 224, 3))
            self.assertEqual(list(groups), ['other', 'carpet', 'carpet', 'tiles'])
            empty = os.path.join(directory, 'empty')
            os.mkdir(empty)
            with self.assertRaisesRegex(ValueError, 'no pictures'):
                photo_floors.folder_patches(empty)

    def test_scores_count_confident_verdicts_from_0_8_and_sure_alarms_from_0_99(self):
        probabilities = np.array([[0.80, 0.10, 0.10], [0.79, 0.21, 0.00], [0.00, 0.20, 0.80],
                                  [0.00, 0.00, 0.99], [0.10, 0.90, 0.00]])
        groups = np.array(['wood', 'wood', 'rug', 'rug', 'rug'])
        rows = photo_floors.clean_floor_scores(probabilities, groups, ['rug', 'wood', 'tiles'])
        self.assertEqual([row[0] for row in rows], ['all', 'rug', 'wood'])
        np.testing.assert_allclose(rows[0][1:], (5, 60.0, 20.0, 20.0))
        np.testing.assert_allclose(rows[1][1:], (3, 100.0, 0.0, 100 / 3))
        np.testing.assert_allclose(rows[2][1:], (2, 0.0, 50.0, 0.0))

    def test_the_tool_scores_a_model_on_a_folder(self):
        with tempfile.TemporaryDirectory() as directory:
            self.write_pictures(directory)
            output = subprocess.run(
                [sys.executable, os.path.join(SOURCE_DIR, 'tools', 'photo_floors.py'),
                 '--clean-patches', directory,
                 os.path.join(SOURCE_DIR, 'models', 'floor_mobilenet.onnx')],
                check=True, capture_output=True, text=True).stdout
            self.assertIn('skipped', output)
            self.assertRegex(output, r'floor_mobilenet.onnx: all \(4\) [\d.]+ / [\d.]+ / [\d.]+; '
                             r'carpet \(2\) .*; other \(1\) .*; tiles \(1\) ')

    def test_the_tool_refuses_to_cut_no_patches(self):
        refused = subprocess.run(
            [sys.executable, os.path.join(SOURCE_DIR, 'tools', 'photo_floors.py'),
             '--per-texture', '0', os.path.join(SOURCE_DIR, 'models', 'floor_mobilenet.onnx')],
            capture_output=True, text=True)
        self.assertEqual(refused.returncode, 2)
        self.assertIn('--per-texture must be at least 1', refused.stderr)


if __name__ == '__main__':
    unittest.main()
