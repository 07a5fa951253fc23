#!/usr/bin/python3
"""Train the floor classifier (clean / dirty / stubborn) on procedural or reviewed floor patches.

Without --data: trains a MobileNetV3-small from scratch on procedural patches. With --data DIR
(class folders clean/, dirty/, stubborn/ of real patches, as water_stain_review writes them):
fine-tunes the shipped model on them, mixed with procedural patches so that classes missing from
DIR are not forgotten, holds out a share of DIR and writes a model card section comparing the
result with the model it started from. Either way it runs on the CPU, exports ONNX (input "input"
1x3x224x224 float, output "output" 1x3 logits) and checks the file with OpenCV DNN against PyTorch.

Needs Debian's python3-torch, python3-torchvision, python3-onnx and python3-opencv; run it with
/usr/bin/python3. Examples:
  /usr/bin/python3 tools/train_floor_classifier.py --seed 7 --train-size 3000 --epochs 15 \
      --out models/floor_mobilenet.onnx --samples-dir test/data
  /usr/bin/python3 tools/train_floor_classifier.py --data images_labels --out my_floor.onnx
  /usr/bin/python3 tools/train_floor_classifier.py --raise-only --clean-prior -0.5 \
      --init models/floor_mobilenet.onnx --out floor_raised_1.0.onnx
"""

import argparse
import math
import os
import re
import sys
import time

import cv2
import numpy as np
import onnx
import onnx.numpy_helper
import torch
import torchvision

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import floor_patches  # noqa: E402
import photo_floors  # noqa: E402

MEAN_RGB = np.array([0.485, 0.456, 0.406], np.float32)
STD_RGB = np.array([0.229, 0.224, 0.225], np.float32)
CONFIDENT = 0.8
# Dataset streams of floor_patches.make_dataset: training, held-out and sample patches never meet.
TRAIN_STREAM, HELD_OUT_STREAM, SAMPLE_STREAM = range(3)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--seed', type=int, default=7)
    parser.add_argument('--train-size', type=int, default=3000)
    parser.add_argument('--held-out-size', type=int, default=600)
    parser.add_argument('--epochs', type=int, default=None,
                        help='default 15 from scratch, 6 when fine-tuning')
    parser.add_argument('--batch-size', type=int, default=32)
    parser.add_argument('--learning-rate', type=float, default=None,
                        help='peak rate; default 3e-3 from scratch, 5e-4 when fine-tuning')
    parser.add_argument('--threads', type=int, default=2)
    parser.add_argument('--workers', type=int, default=2,
                        help='processes drawing the procedural patches')
    parser.add_argument('--arch', choices=sorted(ARCHITECTURES), default=DEFAULT_ARCHITECTURE,
                        help='architecture when training on procedural patches')
    parser.add_argument('--start-from', default=None,
                        help='without --data: start from this exported model\'s weights (same '
                             'width, either resolution) and keep its BatchNorm statistics, '
                             'instead of from scratch')
    parser.add_argument('--clean-prior', type=float, default=0.0,
                        help='add this to the clean logit before export: the log of how much more '
                             'often the field shows clean floor than the training patches do')
    parser.add_argument('--raise-only', action='store_true',
                        help='no training: write --init with its clean logit raised by '
                             '--clean-prior (lowered when negative) to --out, to try the model at '
                             'another raise')
    parser.add_argument('--photo-floors', nargs='?', const=photo_floors.TEXTURE_PACKAGE,
                        default=None, metavar='PACKAGE',
                        help='draw a share of the floors from the training half of the '
                             'photographed floor textures (tools/photo_floors.py) in this file; '
                             f'default {photo_floors.TEXTURE_PACKAGE}')
    parser.add_argument('--part', nargs=2, action='append', metavar=('SEED', 'RECIPE'),
                        help='without --data: draw --train-size training patches of this seed by '
                             'this recipe (floor_patches.RECIPES); repeat to mix parts. Default: '
                             'one part, --seed by the standard recipe. --seed still seeds the '
                             'training order and the held-out patches')
    parser.add_argument('--dirt-off-patterns', action='store_true',
                        help='keep the training patches\' dirt off rugs, terrazzo and mosaic in '
                             'every part (floor_patches.Recipe); the held-out patches keep it')
    parser.add_argument('--stain-contrast', type=float, default=0.0, metavar='RATIO',
                        help='keep only training stains that change the floor under them by at '
                             'least RATIO times the floor\'s own variation there, in every part '
                             '(a recipe asking more keeps its own); the held-out patches keep '
                             'them all')
    parser.add_argument('--contrasting-planks', type=float, default=0.0, metavar='SHARE',
                        help='draw this share of the training patches\' painted wood floors with '
                             'boards as unlike in tone as mixed or reclaimed boards, in every '
                             'part (a recipe asking more keeps its own); the held-out patches '
                             'keep the usual boards')
    parser.add_argument('--out', default='models/floor_mobilenet.onnx')
    parser.add_argument('--samples-dir', default=None,
                        help='write 2 confidently recognised sample JPEGs per class here')
    parser.add_argument('--data', default=None,
                        help='fine-tune on the class folders clean/, dirty/, stubborn/ of DIR')
    parser.add_argument('--init', default='models/floor_mobilenet.onnx',
                        help='with --data: the ONNX model to start from')
    parser.add_argument('--held-out-share', type=float, default=0.2,
                        help='with --data: share of each class kept out of training')
    parser.add_argument('--generated', type=int, default=None,
                        help='with --data: procedural patches mixed in (default: as many as '
                             'the training patches from DIR, at least 150)')
    parser.add_argument('--card', default=None,
                        help='with --data: model card to write the section into (default: '
                             'MODEL_CARD.md beside --out)')
    args = parser.parse_args()
    args.parts = training_parts(parser, args)
    fine_tuning = args.data is not None
    if fine_tuning and (args.dirt_off_patterns or args.stain_contrast or args.contrasting_planks):
        parser.error('--dirt-off-patterns, --stain-contrast and --contrasting-planks draw '
                     'procedural training sets; they do not go with --data')
    if not math.isfinite(args.clean_prior):
        parser.error('--clean-prior must be a finite number')
    if args.raise_only and (args.data is not None or args.part or args.start_from):
        parser.error('--raise-only changes the --init model; it does not go with --data, --part '
                     'or --start-from')
    if not 0 <= args.stain_contrast < math.inf:
        parser.error('--stain-contrast must be a finite ratio of at least 0')
    if not 0 <= args.contrasting_planks <= 1:
        parser.error('--contrasting-planks must be a share from 0 to 1')
    refuse_unusable_counts(parser, args)
    if args.epochs is None:
        args.epochs = 6 if fine_tuning else 15
    if args.learning_rate is None:
        args.learning_rate = 5e-4 if fine_tuning else 3e-3
    return args


def refuse_unusable_counts(parser, args):
    """Counts that would otherwise fail only after the patches are drawn or the model trained."""
    for option in ('train_size', 'held_out_size', 'batch_size', 'epochs'):
        value = getattr(args, option)
        if value is not None and value < 1:
            parser.error(f'--{option.replace("_", "-")} must be at least 1')
    if args.seed < 0 or (args.generated is not None and args.generated < 0):
        parser.error('--seed and --generated must be at least 0')
    if not 0 <= args.held_out_share < 1:
        parser.error('--held-out-share must be a share from 0 up to, not including, 1')


def training_parts(parser, args):
    """The (seed, recipe) parts of the procedural training set."""
    if not args.part:
        return [(args.seed, 'standard')]
    if args.data is not None:
        parser.error('--part draws procedural training sets; it does not go with --data')
    parts = []
    for seed, recipe in args.part:
        if not re.fullmatch(r'\d+', seed):
            parser.error(f'--part: the seed must be an integer of at least 0, not {seed!r}')
        if recipe not in floor_patches.RECIPES:
            parser.error(f'--part: unknown recipe {recipe!r}; known: '
                         f'{", ".join(floor_patches.RECIPES)}')
        parts.append((int(seed), recipe))
    return parts


def recipe_changes(recipe, args):
    """The options that tighten every part's recipe; a recipe asking more keeps its own."""
    own = floor_patches.RECIPES[recipe]
    return {'dirt_off_patterns': own.dirt_off_patterns or args.dirt_off_patterns,
            'stain_contrast': max(own.stain_contrast, args.stain_contrast),
            'contrasting_planks': max(own.contrasting_planks, args.contrasting_planks)}


def training_patches(args):
    """--train-size patches of each part, in the order given, each drawn by its recipe."""
    size = floor_patches.PATCH_SIZE
    patches = np.empty((len(args.parts) * args.train_size, size, size, 3), np.uint8)
    labels = []
    for part, (seed, recipe) in enumerate(args.parts):
        floor_patches.use_recipe(recipe, **recipe_changes(recipe, args))
        part_patches = patches[part * args.train_size:(part + 1) * args.train_size]
        labels.append(floor_patches.make_dataset(args.train_size, seed, TRAIN_STREAM,
                                                 args.workers, out=part_patches)[1])
    floor_patches.use_recipe('standard')
    return patches, np.concatenate(labels)


def preprocess(patches_bgr):
    """The node's preprocessing: resize to 224 bilinear, BGR->RGB, /255, ImageNet mean/std, NCHW."""
    size = (floor_patches.PATCH_SIZE, floor_patches.PATCH_SIZE)
    blobs = []
    for patch in patches_bgr:
        rgb = cv2.cvtColor(cv2.resize(patch, size, interpolation=cv2.INTER_LINEAR),
                           cv2.COLOR_BGR2RGB)
        blobs.append(((rgb.astype(np.float32) / 255.0 - MEAN_RGB) / STD_RGB).transpose(2, 0, 1))
    return np.ascontiguousarray(np.stack(blobs))


# Architectures by name: MobileNetV3-small width, and whether it sees the patch at half resolution
# (a 2 x 2 average pool in front: a quarter of the work, and stains that count cover >= 1 % of the
# patch, at least 12 px across at 112 x 112).
ARCHITECTURES = {
    'v3s-112': (1.0, True),
    'v3s-0.75-112': (0.75, True),
    'v3s-0.5': (0.5, False),
    'v3s': (1.0, False),
}
DEFAULT_ARCHITECTURE = 'v3s-112'


def build_model(architecture=DEFAULT_ARCHITECTURE):
    width, half_resolution = ARCHITECTURES[architecture]
    model = torchvision.models.mobilenet_v3_small(num_classes=3, width_mult=width)
    # torchvision's MobileNetV3 default (0.01) makes running statistics lag far behind a short
    # from-scratch training run.
    for module in model.modules():
        if isinstance(module, torch.nn.BatchNorm2d):
            module.momentum = 0.1
    if half_resolution:
        model = torch.nn.Sequential(torch.nn.AvgPool2d(2), model)
    return model


def architecture_of(onnx_path):
    """Name of the architecture an exported model was built with (see ARCHITECTURES)."""
    graph = onnx.load(onnx_path).graph
    op_types = [node.op_type for node in graph.node]
    half_resolution = 'AveragePool' in op_types[:op_types.index('Conv')]
    initializers = {tensor.name: tensor for tensor in graph.initializer}
    first_gemm = next(node for node in graph.node if node.op_type == 'Gemm')
    hidden = max(initializers[first_gemm.input[1]].dims)
    width = {1024: 1.0, 768: 0.75, 512: 0.5}.get(hidden)
    for name, shape in ARCHITECTURES.items():
        if shape == (width, half_resolution):
            return name
    raise RuntimeError(f'{onnx_path}: not one of the architectures {", ".join(ARCHITECTURES)}')


def augmented_batch(patches, indices, rng):
    """Random flips and quarter turns: a floor seen from above has no preferred orientation."""
    batch = []
    for index in indices:
        patch = np.rot90(patches[index], int(rng.integers(4)))
        if rng.random() < 0.5:
            patch = patch[:, ::-1]
        batch.append(patch)
    return torch.from_numpy(preprocess(batch)).contiguous(memory_format=torch.channels_last)


def freeze_batch_norm_statistics(model):
    """Fine-tuning keeps the running statistics: a few hundred patches cannot re-estimate them."""
    for module in model.modules():
        if isinstance(module, torch.nn.BatchNorm2d):
            module.eval()


def train(model, patches, labels, args, frozen_statistics=False):
    rng = np.random.default_rng([args.seed, TRAIN_STREAM])
    steps_per_epoch = max(1, len(patches) // args.batch_size)
    optimizer = torch.optim.AdamW(model.parameters(), lr=args.learning_rate, weight_decay=1e-4)
    schedule = torch.optim.lr_scheduler.OneCycleLR(
        optimizer, max_lr=args.learning_rate, epochs=args.epochs, steps_per_epoch=steps_per_epoch,
        pct_start=0.2)
    targets = torch.from_numpy(labels.astype(np.int64))
    model.train()
    if frozen_statistics:
        freeze_batch_norm_statistics(model)
    for epoch in range(args.epochs):
        started = time.time()
        order = rng.permutation(len(patches))
        loss_sum, correct = 0.0, 0
        for step in range(steps_per_epoch):
            indices = order[step * args.batch_size:(step + 1) * args.batch_size]
            logits = model(augmented_batch(patches, indices, rng))
            loss = torch.nn.functional.cross_entropy(logits, targets[indices])
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            schedule.step()
            loss_sum += loss.item()
            correct += int((logits.argmax(1) == targets[indices]).sum())
        seen = steps_per_epoch * min(args.batch_size, len(patches))
        print(f'epoch {epoch + 1}/{args.epochs}: loss {loss_sum / steps_per_epoch:.4f}, '
              f'train accuracy {correct / seen:.3f}, {time.time() - started:.0f} s', flush=True)
    model.eval()


def raise_clean_prior(model, log_ratio):
    """Bayes' prior correction: the odds of clean against each stain class times e^log_ratio."""
    classifier = [module for module in model.modules() if isinstance(module, torch.nn.Linear)][-1]
    with torch.no_grad():
        classifier.bias[0] += log_ratio


def inline_identity_initializers(model):
    """Replace Identity nodes over initializers by copies of the initializer.

    torch 1.13 de-duplicates equal weights and re-exposes them through Identity nodes, which
    OpenCV 4.6's ONNX importer rejects.
    """
    graph = model.graph
    initializers = {tensor.name: tensor for tensor in graph.initializer}
    kept = []
    for node in graph.node:
        if node.op_type == 'Identity' and node.input[0] in initializers:
            copy = onnx.TensorProto()
            copy.CopyFrom(initializers[node.input[0]])
            copy.name = node.output[0]
            graph.initializer.append(copy)
        else:
            kept.append(node)
    del graph.node[:]
    graph.node.extend(kept)
    return model


def write_through_temporary(path, write):
    """Calls write(temporary path) beside `path`, then renames the result over `path`.

    The output is often the shipped model or its card: a failed or interrupted write must leave
    the file that was there whole.
    """
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    temporary = f'{path}.{os.getpid()}.partial'
    try:
        write(temporary)
        with open(temporary, 'rb') as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


def export_onnx(model, path):
    def write(temporary):
        example = torch.zeros(1, 3, floor_patches.PATCH_SIZE, floor_patches.PATCH_SIZE)
        torch.onnx.export(model, example, temporary, input_names=['input'],
                          output_names=['output'], opset_version=13, do_constant_folding=True)
        exported = inline_identity_initializers(onnx.load(temporary))
        onnx.checker.check_model(exported)
        onnx.save(exported, temporary)

    write_through_temporary(path, write)


def opencv_logits(net, blobs):
    logits = []
    for blob in blobs:
        net.setInput(blob[None])
        logits.append(net.forward().reshape(-1))
    return np.stack(logits)


def softmax(logits):
    exponentials = np.exp(logits - logits.max(axis=1, keepdims=True))
    return exponentials / exponentials.sum(axis=1, keepdims=True)


def check_against_pytorch(model, net, blobs):
    with torch.no_grad():
        reference = model(torch.from_numpy(blobs)).numpy()
    difference = np.abs(reference - opencv_logits(net, blobs)).max()
    print(f'OpenCV DNN vs PyTorch: max logit difference {difference:.2e} over {len(blobs)} patches')
    if not difference <= 1e-3:  # NaN logits fail too
        raise RuntimeError('the exported ONNX model does not reproduce the PyTorch logits')


def confusion_matrix(probabilities, labels):
    confusion = np.zeros((3, 3), int)
    np.add.at(confusion, (labels, probabilities.argmax(axis=1)), 1)
    return confusion


def report(probabilities, labels):
    predictions = probabilities.argmax(axis=1)
    confusion = confusion_matrix(probabilities, labels)
    print(f'held-out accuracy {np.mean(predictions == labels):.4f} on {len(labels)} patches')
    print('confusion matrix (rows true, columns predicted: clean dirty stubborn):')
    for name, row in zip(floor_patches.CLASS_NAMES, confusion):
        print(f'  {name:>8}: {" ".join(f"{count:4d}" for count in row)}')
    confident_and_right = (probabilities.max(axis=1) >= CONFIDENT) & (predictions == labels)
    for label, name in enumerate(floor_patches.CLASS_NAMES):
        share = np.mean(confident_and_right[labels == label])
        print(f'  {name}: {share:.3f} correct with top probability >= {CONFIDENT}')


def write_samples(net, directory, seed, per_class=2, margin=0.9, candidates=200):
    """Keep generated patches that survive a JPEG round trip and are recognised with margin."""
    os.makedirs(directory, exist_ok=True)
    for label, name in enumerate(floor_patches.CLASS_NAMES):
        written, index = 0, 0
        while written < per_class:
            if index == candidates:
                raise RuntimeError(f'no {name} sample recognised in {candidates} candidates')
            patch_seed = [seed, SAMPLE_STREAM, index]
            index += 1
            path = os.path.join(directory, f'{name}_{written + 1}.jpg')
            patch = floor_patches.make_patch(label, patch_seed)
            cv2.imwrite(path, patch, [cv2.IMWRITE_JPEG_QUALITY, 90])
            scores = softmax(opencv_logits(net, preprocess([cv2.imread(path)])))[0]
            if scores.argmax() == label and scores.max() >= margin:
                written += 1
                print(f'{path}: make_patch({label}, {patch_seed}), scores '
                      f'{", ".join(f"{score:.4f}" for score in scores)}')
            else:
                os.remove(path)


def train_from_scratch(args):
    started = time.time()
    patches, labels = training_patches(args)
    held_out, held_out_labels = floor_patches.make_dataset(args.held_out_size, args.seed,
                                                           HELD_OUT_STREAM, args.workers)
    print(f'generated {len(patches)} + {len(held_out)} patches in {time.time() - started:.0f} s')
    model = build_model(args.arch)
    if args.start_from:
        # The weights carry over to half resolution: the filters see the floor at half scale.
        model = load_onnx_weights(model, args.start_from)
    model = model.to(memory_format=torch.channels_last)
    training_started = time.time()
    train(model, patches, labels, args, frozen_statistics=args.start_from is not None)
    print(f'trained in {time.time() - training_started:.0f} s')
    model = model.to(memory_format=torch.contiguous_format)
    raise_clean_prior(model, args.clean_prior)
    export_onnx(model, args.out)
    print(f'wrote {args.out} ({os.path.getsize(args.out) / 1e6:.1f} MB)')
    net = cv2.dnn.readNetFromONNX(args.out)
    held_out_blobs = preprocess(held_out)
    check_against_pytorch(model, net, held_out_blobs[:30])
    report(softmax(opencv_logits(net, held_out_blobs)), held_out_labels)
    if args.samples_dir:
        write_samples(net, args.samples_dir, args.seed)
    print(f'total {time.time() - started:.0f} s')


def raise_only(args):
    """--init with its clean logit moved by --clean-prior; checked before the export too, so that
    a model that does not load faithfully never replaces --out."""
    model = load_onnx_weights(build_model(architecture_of(args.init)), args.init)
    raise_clean_prior(model, args.clean_prior)
    blobs = preprocess(floor_patches.make_dataset(3, args.seed, SAMPLE_STREAM, 1)[0])
    expected = opencv_logits(cv2.dnn.readNetFromONNX(args.init), blobs) + [args.clean_prior, 0, 0]
    with torch.no_grad():
        raised = model(torch.from_numpy(blobs)).numpy()
    if not np.allclose(raised, expected, atol=1e-3):
        raise RuntimeError(f'{args.init} loaded and raised gives the logits {raised.tolist()}, '
                           f'not {expected.tolist()}')
    export_onnx(model, args.out)
    check_against_pytorch(model, cv2.dnn.readNetFromONNX(args.out), blobs)
    shift = photo_floors.shift_name(args.clean_prior) or ' as it was'
    print(f'wrote {args.out}: {args.init}, its clean logit{shift}')


# ---- fine-tuning on reviewed patches ----

IMAGE_EXTENSIONS = ('.jpg', '.jpeg', '.png')
CARD_SECTION = '## Fine-tuned on reviewed patches'
# water_stain_review's file names, "<camera>_<sec>.<nanosec>.jpg": held out by time, not at random.
REVIEWED_NAME = re.compile(r'^([a-z]+)_(-?\d+)\.(\d{1,9})\.jpg$')


def load_onnx_weights(model, onnx_path):
    """Loads an exported model's weights into the same torchvision architecture.

    The export folds each BatchNorm into the convolution before it, so the ONNX file holds one
    weight and one bias per Conv and Gemm, in execution order, which is the definition order of
    torchvision's Conv2d and Linear modules. The folded bias goes into the following BatchNorm,
    set to the identity (mean 0, variance 1 - eps, scale 1): the eval-mode output is unchanged.
    """
    graph = onnx.load(onnx_path).graph
    initializers = {tensor.name: onnx.numpy_helper.to_array(tensor) for tensor in graph.initializer}
    weighted = [node for node in graph.node if node.op_type in ('Conv', 'Gemm')]
    layers = [module for module in model.modules()
              if isinstance(module, (torch.nn.Conv2d, torch.nn.Linear))]
    if len(weighted) != len(layers):
        raise RuntimeError(f'{onnx_path}: {len(weighted)} Conv/Gemm nodes for {len(layers)} layers')
    following_norm = {}
    modules = list(model.modules())
    for index, module in enumerate(modules[:-1]):
        if isinstance(module, torch.nn.Conv2d) and isinstance(modules[index + 1],
                                                              torch.nn.BatchNorm2d):
            following_norm[id(module)] = modules[index + 1]
    with torch.no_grad():
        for node, layer in zip(weighted, layers):
            weight = initializers[node.input[1]]
            bias = initializers[node.input[2]] if len(node.input) > 2 else None
            if node.op_type == 'Gemm' and not any(
                    attribute.name == 'transB' and attribute.i == 1 for attribute in node.attribute):
                weight = weight.T
            if tuple(weight.shape) != tuple(layer.weight.shape):
                raise RuntimeError(f'{onnx_path}: {node.name} has shape {weight.shape}, '
                                   f'layer expects {tuple(layer.weight.shape)}')
            layer.weight.copy_(torch.from_numpy(np.array(weight)))
            norm = following_norm.get(id(layer))
            if norm is not None:
                norm.weight.fill_(1.0)
                norm.bias.copy_(torch.from_numpy(np.array(bias)))
                norm.running_mean.zero_()
                norm.running_var.fill_(1.0 - norm.eps)
            elif layer.bias is not None:
                layer.bias.copy_(torch.from_numpy(np.array(bias)))
    model.eval()
    return model


def time_order_key(path):
    match = REVIEWED_NAME.match(os.path.basename(path))
    if match:
        return (0, int(match.group(2)), int(match.group(3)), match.group(1))
    return (1, os.path.basename(path))


def read_class_folders(directory, held_out_share):
    """Patches of DIR/clean, DIR/dirty, DIR/stubborn, resized as the node does, split per class.

    The latest share of each class in time is held out: neighbouring frames of one camera are
    near-duplicates, so a random split would flatter the model.
    """
    split = {'train': ([], []), 'held_out': ([], [])}
    counts = {}
    size = (floor_patches.PATCH_SIZE, floor_patches.PATCH_SIZE)
    for label, name in enumerate(floor_patches.CLASS_NAMES):
        folder = os.path.join(directory, name)
        files = sorted((os.path.join(folder, file) for file in os.listdir(folder)
                        if not file.startswith('.') and file.lower().endswith(IMAGE_EXTENSIONS))
                       if os.path.isdir(folder) else [], key=time_order_key)
        patches = []
        for path in files:
            image = cv2.imread(path, cv2.IMREAD_COLOR)
            if image is None:
                print(f'skipped {path}: not a readable image')
                continue
            patches.append(cv2.resize(image, size, interpolation=cv2.INTER_LINEAR))
        held_out = int(round(len(patches) * held_out_share)) if len(patches) > 1 else 0
        cut = len(patches) - held_out
        for part, chosen in (('train', patches[:cut]), ('held_out', patches[cut:])):
            split[part][0].extend(chosen)
            split[part][1].extend([label] * len(chosen))
        counts[name] = (cut, held_out)
    as_arrays = {part: (np.array(patches, np.uint8).reshape(-1, *size, 3), np.array(labels, int))
                 for part, (patches, labels) in split.items()}
    return as_arrays, counts


def scores_of(onnx_path, patches):
    return softmax(opencv_logits(cv2.dnn.readNetFromONNX(onnx_path), preprocess(patches)))


def summarise(probabilities, labels):
    predictions = probabilities.argmax(axis=1)
    confident = probabilities.max(axis=1) >= CONFIDENT
    return {
        'accuracy': float(np.mean(predictions == labels)) if len(labels) else float('nan'),
        'confusion': confusion_matrix(probabilities, labels),
        'coverage': float(np.mean(confident)) if len(labels) else float('nan'),
        'confident_right': {name: float(np.mean((confident & (predictions == labels))[labels == k]))
                            for k, name in enumerate(floor_patches.CLASS_NAMES)
                            if np.any(labels == k)},
    }


def markdown_confusion(confusion):
    rows = ['| true / predicted | clean | dirty | stubborn |', '|---|---|---|---|']
    for name, row in zip(floor_patches.CLASS_NAMES, confusion):
        rows.append(f'| {name} | ' + ' | '.join(str(count) for count in row) + ' |')
    return '\n'.join(rows)


def card_section(args, counts, generated, results, parity, seconds):
    before, after = results['start'], results['tuned']
    lines = [CARD_SECTION, '',
             f'`{os.path.basename(args.out)}` was fine-tuned from `{args.init}` on the reviewed '
             f'patches in `{args.data}` with `tools/train_floor_classifier.py --data` '
             f'({time.strftime("%Y-%m-%d", time.gmtime())}).', '',
             '| class | training patches | held-out patches |', '|---|---|---|']
    for name in floor_patches.CLASS_NAMES:
        lines.append(f'| {name} | {counts[name][0]} | {counts[name][1]} |')
    lines += ['',
              f'- Mixed with {generated} procedural patches (`tools/floor_patches.py`, seed '
              f'{args.seed}, balanced over the classes) so that classes scarce in the reviewed '
              'data are not forgotten.',
              f'- {args.epochs} epochs, AdamW, one-cycle learning rate peaking at '
              f'{args.learning_rate:g}, batch {args.batch_size}, random quarter turns and mirror '
              'flips; BatchNorm statistics kept from the starting model; CPU, '
              f'{args.threads} threads, {seconds:.0f} s in all.',
              f'- The held-out patches are the latest {args.held_out_share:.0%} of each class in '
              'time (neighbouring frames are near-duplicates, so a random split would flatter '
              'the model).',
              f'- OpenCV DNN reproduces the PyTorch logits of the exported file (max difference '
              f'{parity:.1e}).', '']
    if len(results['labels']):
        lines += ['Held-out reviewed patches, scored through OpenCV DNN with the node\'s '
                  'preprocessing (rows: reviewer\'s class, columns: prediction):', '',
                  '**Fine-tuned model**', '', markdown_confusion(after['confusion']), '',
                  '**Starting model**', '', markdown_confusion(before['confusion']), '',
                  '| | starting model | fine-tuned |', '|---|---|---|',
                  f'| accuracy | {before["accuracy"]:.3f} | {after["accuracy"]:.3f} |',
                  f'| top probability >= {CONFIDENT} (coverage; the rest goes to the VLM) | '
                  f'{before["coverage"]:.3f} | {after["coverage"]:.3f} |']
        for name in after['confident_right']:
            lines.append(f'| {name}: right with top probability >= {CONFIDENT} | '
                         f'{before["confident_right"][name]:.3f} | '
                         f'{after["confident_right"][name]:.3f} |')
    else:
        lines.append('No reviewed patch was held out (too few per class).')
    synthetic_before, synthetic_after = results['synthetic_start'], results['synthetic_tuned']
    lines += [f'| accuracy on {len(results["synthetic_labels"])} held-out procedural patches | '
              f'{synthetic_before["accuracy"]:.3f} | {synthetic_after["accuracy"]:.3f} |'
              if len(results['labels']) else '', '']
    return '\n'.join(lines)


def write_card_section(path, section):
    """Replaces the section in the card (or appends it), leaving the rest of the card as it was."""
    text = '# Floor classifier\n'
    if os.path.exists(path):
        with open(path) as card:
            text = card.read()
    start = text.find(CARD_SECTION)
    if start >= 0:
        end = text.find('\n## ', start + len(CARD_SECTION))
        text = text[:start] + section.rstrip('\n') + ('\n' + text[end:] if end >= 0 else '\n')
    else:
        text = text.rstrip('\n') + '\n\n' + section.rstrip('\n') + '\n'

    def write(temporary):
        with open(temporary, 'w') as card:
            card.write(text)

    write_through_temporary(path, write)


def score_held_out(results, key, model_path, held_out, synthetic_held_out):
    """Summaries of the model on the held-out reviewed and procedural patches, into results."""
    if len(held_out):
        results[key] = summarise(scores_of(model_path, held_out), results['labels'])
    results['synthetic_' + key] = summarise(scores_of(model_path, synthetic_held_out),
                                            results['synthetic_labels'])


def fine_tune(args):
    started = time.time()
    data, counts = read_class_folders(args.data, args.held_out_share)
    patches, labels = data['train']
    if len(patches) == 0:
        raise SystemExit(f'{args.data}: no patches in clean/, dirty/ or stubborn/')
    print('reviewed patches (training, held out): ' +
          ', '.join(f'{name} {train}/{held}' for name, (train, held) in counts.items()))
    generated = args.generated if args.generated is not None else max(150, len(patches))
    synthetic, synthetic_labels = floor_patches.make_dataset(generated, args.seed, TRAIN_STREAM,
                                                             args.workers)
    synthetic_held_out, synthetic_held_out_labels = floor_patches.make_dataset(
        max(30, generated // 5), args.seed, HELD_OUT_STREAM, args.workers)
    print(f'generated {generated} + {len(synthetic_held_out)} procedural patches in '
          f'{time.time() - started:.0f} s')

    model = load_onnx_weights(build_model(architecture_of(args.init)), args.init)
    parity_blobs = preprocess(synthetic_held_out[:8])
    check_against_pytorch(model, cv2.dnn.readNetFromONNX(args.init), parity_blobs)
    held_out, held_out_labels = data['held_out']
    results = {'labels': held_out_labels, 'synthetic_labels': synthetic_held_out_labels}
    # Before the export, which replaces the starting model when --out is --init (the default).
    score_held_out(results, 'start', args.init, held_out, synthetic_held_out)
    mixed = np.concatenate([patches, synthetic])
    mixed_labels = np.concatenate([labels, synthetic_labels])
    model = model.to(memory_format=torch.channels_last)
    training_started = time.time()
    train(model, mixed, mixed_labels, args, frozen_statistics=True)
    print(f'fine-tuned in {time.time() - training_started:.0f} s')
    model = model.to(memory_format=torch.contiguous_format)
    raise_clean_prior(model, args.clean_prior)
    export_onnx(model, args.out)
    print(f'wrote {args.out} ({os.path.getsize(args.out) / 1e6:.1f} MB)')
    with torch.no_grad():
        reference = model(torch.from_numpy(parity_blobs)).numpy()
    parity = float(np.abs(reference - opencv_logits(cv2.dnn.readNetFromONNX(args.out),
                                                    parity_blobs)).max())
    if parity > 1e-3:
        raise RuntimeError('the exported ONNX model does not reproduce the PyTorch logits')

    score_held_out(results, 'tuned', args.out, held_out, synthetic_held_out)
    if len(held_out):
        print(f'held-out reviewed patches: accuracy {results["start"]["accuracy"]:.3f} -> '
              f'{results["tuned"]["accuracy"]:.3f}, coverage at {CONFIDENT} '
              f'{results["start"]["coverage"]:.3f} -> {results["tuned"]["coverage"]:.3f}')
        report(scores_of(args.out, held_out), held_out_labels)
    print(f'held-out procedural patches: accuracy {results["synthetic_start"]["accuracy"]:.3f} '
          f'-> {results["synthetic_tuned"]["accuracy"]:.3f}')
    card = args.card or os.path.join(os.path.dirname(os.path.abspath(args.out)), 'MODEL_CARD.md')
    write_card_section(card, card_section(args, counts, generated, results, parity,
                                          time.time() - started))
    print(f'wrote the section "{CARD_SECTION[3:]}" of {card}')
    print(f'total {time.time() - started:.0f} s')


def main():
    args = parse_arguments()
    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    if args.photo_floors:
        pictures = photo_floors.load_textures(photo_floors.TRAIN, args.photo_floors)
        floor_patches.use_photographed_floors(pictures)
        print(f'{len(pictures)} photographed floors from {args.photo_floors}')
    if args.raise_only:
        raise_only(args)
    elif args.data is None:
        train_from_scratch(args)
    else:
        fine_tune(args)


if __name__ == '__main__':
    main()
