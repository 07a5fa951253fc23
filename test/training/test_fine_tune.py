#!/usr/bin/python3
"""Smoke test of tools/train_floor_classifier.py --data: a one-epoch fine-tune on a few patches.

Checks that the shipped ONNX weights load into PyTorch with the same logits, that the class
folders are read as the review tool writes them, and that a fine-tune exports a model OpenCV
loads and writes the model card section. Run by ctest when VELMORA_TRAINING_TESTS is on.
"""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import unittest.mock

import cv2
import numpy as np

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
sys.path.insert(0, os.path.join(SOURCE_DIR, 'tools'))
import floor_patches  # noqa: E402
import train_floor_classifier as training  # noqa: E402

SHIPPED = os.path.join(SOURCE_DIR, 'models', 'floor_mobilenet.onnx')


def write_reviewed_folders(directory):
    """Two sample patches per class under review-tool names, plus files that must be ignored."""
    for label, name in enumerate(floor_patches.CLASS_NAMES):
        os.makedirs(os.path.join(directory, name))
        for number, stamp in ((1, '100.5'), (2, '99.7')):
            shutil.copy(os.path.join(SOURCE_DIR, 'test', 'data', f'{name}_{number}.jpg'),
                        os.path.join(directory, name, f'rear_{stamp}.jpg'))
    with open(os.path.join(directory, 'dirty', '.rear_1.0.jpg.partial'), 'w') as partial:
        partial.write('half a file')
    with open(os.path.join(directory, 'decisions.csv'), 'w') as log:
        log.write('decided_at,camera,stamp,node_verdict,vlm,label\n')


class FineTuneTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix='fine_tune_')
        self.addCleanup(shutil.rmtree, self.scratch)

    def test_shipped_weights_load_with_the_same_logits(self):
        model = training.load_onnx_weights(
            training.build_model(training.architecture_of(SHIPPED)), SHIPPED)
        patches, _ = floor_patches.make_dataset(3, 11, 1)
        blobs = training.preprocess(patches)
        import torch
        with torch.no_grad():
            reference = model(torch.from_numpy(blobs)).numpy()
        opencv = training.opencv_logits(cv2.dnn.readNetFromONNX(SHIPPED), blobs)
        self.assertLess(np.abs(reference - opencv).max(), 1e-4)

    def test_clean_prior_moves_only_the_exported_clean_logit(self):
        model = training.load_onnx_weights(
            training.build_model(training.architecture_of(SHIPPED)), SHIPPED)
        training.raise_clean_prior(model, 0.7)
        raised = os.path.join(self.scratch, 'raised.onnx')
        training.export_onnx(model, raised)
        patches, _ = floor_patches.make_dataset(3, 11, 1)
        blobs = training.preprocess(patches)
        difference = (training.opencv_logits(cv2.dnn.readNetFromONNX(raised), blobs) -
                      training.opencv_logits(cv2.dnn.readNetFromONNX(SHIPPED), blobs))
        np.testing.assert_allclose(difference, np.tile([0.7, 0.0, 0.0], (3, 1)), atol=1e-4)

    def test_raise_only_writes_the_model_that_photo_floors_raise_scores(self):
        lowered = os.path.join(self.scratch, 'lowered.onnx')
        subprocess.run([sys.executable, os.path.join(SOURCE_DIR, 'tools',
                                                     'train_floor_classifier.py'),
                        '--raise-only', '--clean-prior', '-1.5', '--init', SHIPPED,
                        '--out', lowered], check=True, stdout=subprocess.DEVNULL)
        blobs = training.preprocess(floor_patches.make_dataset(3, 11, 1)[0])
        difference = (training.opencv_logits(cv2.dnn.readNetFromONNX(lowered), blobs) -
                      training.opencv_logits(cv2.dnn.readNetFromONNX(SHIPPED), blobs))
        np.testing.assert_allclose(difference, np.tile([-1.5, 0.0, 0.0], (3, 1)), atol=1e-4)

        floors = os.path.join(self.scratch, 'floors', 'tiles')
        os.makedirs(floors)
        for number, patch in enumerate(floor_patches.make_dataset(30, 11, 1)[0]):
            cv2.imwrite(os.path.join(floors, f'{number}.png'), patch)
        scored = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, 'tools',
                                                              'photo_floors.py'),
                                 '--clean-patches', os.path.dirname(floors), SHIPPED, lowered,
                                 '--raise', '0', '-1.5'],
                                check=True, capture_output=True, text=True).stdout
        rows = dict(line.split(': ', 1) for line in scored.splitlines()[1:])
        self.assertEqual(list(rows), [SHIPPED, f'{SHIPPED} lowered by 1.5', lowered,
                                      f'{lowered} lowered by 1.5'])
        self.assertEqual(rows[f'{SHIPPED} lowered by 1.5'], rows[lowered])
        self.assertNotEqual(rows[SHIPPED], rows[lowered])

    def test_parts_join_training_sets_drawn_by_their_recipes(self):
        def arguments(*extra):
            with unittest.mock.patch('sys.argv', ['train_floor_classifier.py', *extra]):
                return training.parse_arguments()

        self.assertEqual(arguments('--seed', '21').parts, [(21, 'standard')])
        args = arguments('--train-size', '3', '--workers', '1', '--part', '26', 'standard',
                         '--part', '27', 'junctions')
        patches, labels = training.training_patches(args)
        self.assertEqual(list(labels), [0, 1, 2, 0, 1, 2])
        np.testing.assert_array_equal(patches[:3], floor_patches.make_dataset(3, 26)[0])
        floor_patches.use_recipe('junctions')
        try:
            np.testing.assert_array_equal(patches[3:], floor_patches.make_dataset(3, 27)[0])
        finally:
            floor_patches.use_recipe('standard')
        dirt_off_patterns = arguments('--train-size', '3', '--workers', '1', '--part', '20',
                                      'standard', '--dirt-off-patterns')
        patches = training.training_patches(dirt_off_patterns)[0]
        self.assertFalse(np.array_equal(patches, floor_patches.make_dataset(3, 20)[0]))
        floor_patches.use_recipe('standard', dirt_off_patterns=True)
        try:
            np.testing.assert_array_equal(patches, floor_patches.make_dataset(3, 20)[0])
        finally:
            floor_patches.use_recipe('standard')
        standing_out = arguments('--train-size', '3', '--workers', '1', '--part', '33',
                                 'standard', '--part', '33', 'clear_edge_water',
                                 '--stain-contrast', '1.0', '--contrasting-planks', '0.5')
        self.assertEqual(training.recipe_changes('standard', standing_out)['contrasting_planks'],
                         0.5)
        patches = training.training_patches(standing_out)[0]
        self.assertFalse(np.array_equal(patches[:3], floor_patches.make_dataset(3, 33)[0]))
        try:
            floor_patches.use_recipe('standard', stain_contrast=1.0, contrasting_planks=0.5)
            np.testing.assert_array_equal(patches[:3], floor_patches.make_dataset(3, 33)[0])
            floor_patches.use_recipe('clear_edge_water', contrasting_planks=0.5)
            np.testing.assert_array_equal(patches[3:], floor_patches.make_dataset(3, 33)[0])
        finally:
            floor_patches.use_recipe('standard')
        for bad in (['--part', '26', 'carpets'], ['--part', 'x', 'rugs'],
                    ['--part', '26', 'rugs', '--data', self.scratch],
                    ['--dirt-off-patterns', '--data', self.scratch],
                    ['--stain-contrast', '1.0', '--data', self.scratch],
                    ['--stain-contrast', '-1'], ['--stain-contrast', 'nan'],
                    ['--contrasting-planks', '1.5'],
                    ['--contrasting-planks', '0.5', '--data', self.scratch],
                    # Counts that would fail only once the patches are drawn or the model trained.
                    ['--held-out-size', '0'], ['--train-size', '0'], ['--epochs', '0'],
                    ['--batch-size', '0'], ['--seed', '-1'], ['--part', '-1', 'rugs'],
                    ['--generated', '-1', '--data', self.scratch],
                    ['--held-out-share', '1', '--data', self.scratch],
                    ['--held-out-share', '-0.1', '--data', self.scratch],
                    # A NaN prior would export a model whose every score is NaN.
                    ['--clean-prior', 'nan'], ['--clean-prior', 'inf'],
                    ['--raise-only', '--data', self.scratch],
                    ['--raise-only', '--part', '26', 'rugs'],
                    ['--raise-only', '--start-from', SHIPPED]):
            with self.assertRaises(SystemExit, msg=bad), unittest.mock.patch('sys.stderr'):
                arguments(*bad)

    def test_reads_class_folders_and_holds_out_the_latest_patches(self):
        write_reviewed_folders(self.scratch)
        data, counts = training.read_class_folders(self.scratch, 0.5)
        self.assertEqual(counts, {'clean': (1, 1), 'dirty': (1, 1), 'stubborn': (1, 1)})
        self.assertEqual(list(data['train'][1]), [0, 1, 2])
        # 100.5 is later than 99.7: it is the one held out.
        held_out = cv2.resize(cv2.imread(os.path.join(self.scratch, 'clean', 'rear_100.5.jpg')),
                              (224, 224), interpolation=cv2.INTER_LINEAR)
        np.testing.assert_array_equal(data['held_out'][0][0], held_out)

    def test_one_epoch_fine_tune_exports_a_model_and_its_card_section(self):
        data = os.path.join(self.scratch, 'labels')
        write_reviewed_folders(data)
        out = os.path.join(self.scratch, 'model', 'floor.onnx')
        card = os.path.join(self.scratch, 'model', 'MODEL_CARD.md')
        os.makedirs(os.path.dirname(card))
        with open(card, 'w') as existing:
            existing.write('# Floor classifier\n\nKept.\n\n## Fine-tuned on reviewed patches\n\nold\n'
                           '\n## Later section\n\nAlso kept.\n')
        subprocess.run([sys.executable, os.path.join(SOURCE_DIR, 'tools',
                                                     'train_floor_classifier.py'),
                        '--data', data, '--init', SHIPPED, '--out', out, '--epochs', '1',
                        '--generated', '6', '--batch-size', '4', '--held-out-share', '0.5'],
                       check=True, cwd=self.scratch)
        net = cv2.dnn.readNetFromONNX(out)
        net.setInput(training.preprocess([cv2.imread(os.path.join(data, 'dirty',
                                                                  'rear_99.7.jpg'))]))
        self.assertEqual(net.forward().shape, (1, 3))
        with open(card) as written:
            text = written.read()
        self.assertIn('Kept.', text)
        self.assertIn('## Later section\n\nAlso kept.', text)
        self.assertNotIn('\nold\n', text)
        self.assertEqual(text.count('## Fine-tuned on reviewed patches'), 1)
        self.assertIn('**Fine-tuned model**', text)
        self.assertIn('**Starting model**', text)
        self.assertIn('| clean | 1 | 1 |', text)


    def test_the_card_scores_the_starting_model_even_when_the_fine_tune_replaces_it(self):
        # --out and --init both default to the shipped model.
        data = os.path.join(self.scratch, 'labels')
        write_reviewed_folders(data)
        model = os.path.join(self.scratch, 'floor.onnx')
        shutil.copy(SHIPPED, model)
        subprocess.run([sys.executable, os.path.join(SOURCE_DIR, 'tools',
                                                     'train_floor_classifier.py'),
                        '--data', data, '--init', model, '--out', model, '--epochs', '1',
                        '--generated', '6', '--batch-size', '4', '--held-out-share', '0.5'],
                       check=True, cwd=self.scratch, stdout=subprocess.DEVNULL)
        synthetic, labels = floor_patches.make_dataset(30, 7, training.HELD_OUT_STREAM)
        before = training.summarise(training.scores_of(SHIPPED, synthetic), labels)['accuracy']
        with open(os.path.join(self.scratch, 'MODEL_CARD.md')) as written:
            row = next(line for line in written if 'held-out procedural patches' in line)
        self.assertEqual(row.split('|')[2].strip(), f'{before:.3f}')


    def test_a_failed_export_or_card_write_leaves_the_previous_file_whole(self):
        model_path = os.path.join(self.scratch, 'floor.onnx')
        shutil.copy(SHIPPED, model_path)
        model = training.load_onnx_weights(
            training.build_model(training.architecture_of(SHIPPED)), SHIPPED)
        training.raise_clean_prior(model, 0.5)
        with unittest.mock.patch.object(training.onnx.checker, 'check_model',
                                        side_effect=RuntimeError('checker failed')), \
                self.assertRaisesRegex(RuntimeError, 'checker failed'):
            training.export_onnx(model, model_path)
        self.assertTrue(filecmp.cmp(model_path, SHIPPED, shallow=False), 'model replaced')
        card_path = os.path.join(self.scratch, 'MODEL_CARD.md')
        with open(card_path, 'w') as card:
            card.write('# Floor classifier\n\nKept.\n')
        # A --data folder name that is not UTF-8 reaches the section as surrogate escapes.
        with self.assertRaises(UnicodeEncodeError):
            training.write_card_section(card_path, f'{training.CARD_SECTION}\n\nlabels\udce9\n')
        with open(card_path) as card:
            self.assertEqual(card.read(), '# Floor classifier\n\nKept.\n')
        self.assertEqual(sorted(os.listdir(self.scratch)), ['MODEL_CARD.md', 'floor.onnx'])


if __name__ == '__main__':
    unittest.main()
