#!/usr/bin/python3
"""scripts/sim_seeds sums finished runs: two small reports in, the README's figures out."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
CLASSES = ('clean', 'dirty', 'stubborn')


def tally(stains, seen, found):
    return {'stains': stains, 'seen': seen, 'found': found}


def frame(truth_visible, verdict, share, **judgement):
    return dict(truth=truth_visible, truth_visible=truth_visible, verdict=verdict,
                stain_cover=[{'id': 1, 'area_m2': 0.01, 'patch_share': share}], **judgement)


def report(seed, frames, alarms, stain_free, frames_to_detection=3):
    level = {'overall': tally(2, 2, 1), 'by_kind': {'water': tally(2, 2, 1)},
             'by_camera': {'front': tally(2, 2, 1)},
             'stains': [{'found': True, 'frames_to_detection': frames_to_detection}]}
    confusion = {f'truth_{truth}': {verdict: 0 for verdict in CLASSES} for truth in CLASSES}
    for judged in frames:
        if judged['verdict']:
            confusion['truth_' + judged['truth_visible']][judged['verdict']] += 1
    return {'run': {'seed': seed, 'truth_min_stain_area_m2': 0.0004},
            'stain_level': {'area': level, 'visible': level},
            'false_alarms': {'all': {'alarms': alarms, 'stain_free_judged': stain_free,
                                     'judged_by_vlm': alarms, 'rate': alarms / stain_free}},
            'overall': {'confusion': confusion, 'confusion_visible': confusion},
            'frames': frames}


class SimSeedsTest(unittest.TestCase):
    def summary(self, reports):
        with tempfile.TemporaryDirectory() as runs:
            for seed, content in reports.items():
                os.makedirs(os.path.join(runs, f'realistic_{seed}'))
                with open(os.path.join(runs, f'realistic_{seed}', 'report.json'), 'w') as file:
                    json.dump(content, file)
            first, last = min(reports), max(reports)
            return subprocess.run(
                [os.path.join(SOURCE_DIR, 'scripts', 'sim_seeds'), 'realistic', str(first),
                 str(last), runs], check=True, capture_output=True, text=True).stdout

    def test_runs_are_summed_and_misses_sorted_by_cause(self):
        output = self.summary({
            4: report(4, [frame('dirty', 'clean', 0.015, vlm_answer=0),
                          frame('dirty', 'clean', 0.03, scores=[0.9, 0.05, 0.05]),
                          frame('stubborn', 'stubborn', 0.2, scores=[0.0, 0.1, 0.9])],
                      alarms=1, stain_free=50, frames_to_detection=2),
            5: report(5, [frame('dirty', 'clean', 0.3, vlm_answer=1),
                          frame('stubborn', 'clean', 0.3, scores=[0.05, 0.05, 0.9]),
                          frame('dirty', 'clean', 0.01),
                          frame('clean', 'clean', 0.0)],
                      alarms=3, stain_free=50, frames_to_detection=5)})
        lines = output.splitlines()
        self.assertEqual(lines[0], '2 runs, seeds 4, 5')
        self.assertRegex(output, r'overall +4 +4 +2 +50\.0%')
        # The median of an even count is the mean of the middle two, as a run's report has it.
        self.assertIn('to detection (area truth): median 3.5, max 5', output)
        self.assertIn('false alarms: 4 of 100 judged stain-free frames (  4.0%)', output)
        self.assertIn('per frame, visible truth: precision 100.0%, recall  16.7%', output)

        # Columns: under 2 %, 2-5 %, 5 % and more of the region, all.
        table = next(i for i, line in enumerate(lines) if line.startswith('visible-truth misses'))
        misses = {line[:45].strip(): line[45:].split() for line in lines[table + 2:]}
        self.assertEqual(misses, {
            'VLM said no': ['1', '0', '0', '1'],
            'classifier sure of clean': ['0', '1', '0', '1'],
            'VLM said yes, history overruled': ['0', '0', '1', '1'],
            'classifier sure of a stain, history overruled': ['0', '0', '1', '1'],
            'classifier sure (scores not logged)': ['1', '0', '0', '1']})

    def test_the_way_the_stand_in_answered_is_named(self):
        runs = {}
        for seed in (4, 5):
            runs[seed] = report(seed, [frame('dirty', 'dirty', 0.3)], alarms=0, stain_free=50)
            runs[seed]['run'].update(vlm_stub_answers='truth', vlm_stub_false_yes=0.1)
        output = self.summary(runs)
        self.assertIn('the stand-in VLM answered by: truth\n', output)
        self.assertIn('and said yes on stain-free floor on 10 % of the floor\n', output)
        self.assertNotIn('said yes on stain-free floor', self.summary({4: report(4, [], 0, 50)}))

    def sweep_with_stand_in(self, tree, simulator_script, *options):
        """Runs sim_seeds, from a copy in TREE, on a stand-in for the simulator (the script runs
        the simulator of the tree it lies in)."""
        os.makedirs(os.path.join(tree, 'scripts'), exist_ok=True)
        os.makedirs(os.path.join(tree, 'build'), exist_ok=True)
        shutil.copy(os.path.join(SOURCE_DIR, 'scripts', 'sim_seeds'),
                    os.path.join(tree, 'scripts'))
        simulator = os.path.join(tree, 'build', 'water_stain_sim')
        with open(simulator, 'w') as file:
            file.write('#!/bin/sh\n' + simulator_script)
        os.chmod(simulator, 0o755)
        return subprocess.run(
            [os.path.join(tree, 'scripts', 'sim_seeds'), 'realistic', '4', '4',
             os.path.join(tree, 'runs'), '--', *options], capture_output=True, text=True)

    def test_a_run_that_did_not_finish_is_not_kept_as_finished(self):
        # Writes a report of what ran, then fails as an interrupted run does.
        with tempfile.TemporaryDirectory() as tree:
            sweep = self.sweep_with_stand_in(
                tree, 'while [ "$1" != --out ]; do shift; done\n'
                'mkdir -p "$2" && echo {} > "$2/report.json"\nexit 130\n')
            self.assertNotEqual(sweep.returncode, 0)
            self.assertFalse(os.path.exists(os.path.join(tree, 'runs', 'realistic_4',
                                                         'report.json')))

    def test_a_finished_run_is_reused_only_with_the_same_options(self):
        with tempfile.TemporaryDirectory() as tree:
            finished = os.path.join(tree, 'finished.json')
            with open(finished, 'w') as file:
                json.dump(report(4, [frame('dirty', 'dirty', 0.2)], alarms=0, stain_free=10),
                          file)
            # Counts its runs and copies the finished report.
            simulator = (f'echo run >> "{tree}/runs.log"\n'
                         'while [ "$1" != --out ]; do shift; done\n'
                         f'mkdir -p "$2" && cp "{finished}" "$2/report.json"\n')
            first = self.sweep_with_stand_in(tree, simulator, '--vlm-answers', 'truth')
            self.assertEqual(first.returncode, 0, first.stderr)
            again = self.sweep_with_stand_in(tree, simulator, '--vlm-answers', 'truth')
            self.assertEqual(again.returncode, 0, again.stderr)
            self.assertEqual(again.stdout, first.stdout)
            other = self.sweep_with_stand_in(tree, simulator)
            self.assertNotEqual(other.returncode, 0)
            self.assertIn('was run with other options (--vlm-answers truth )', other.stderr)
            with open(os.path.join(tree, 'runs.log')) as file:
                self.assertEqual(file.read(), 'run\n')

if __name__ == '__main__':
    unittest.main()
