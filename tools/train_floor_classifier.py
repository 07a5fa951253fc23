#!/usr/bin/python3
"""Train the floor classifier (clean / dirty / stubborn) on procedural floor patches.

Trains a MobileNetV3-small from scratch on CPU, exports it to ONNX (input "input" 1x3x224x224
float, output "output" 1x3 logits), checks the ONNX file with OpenCV DNN against PyTorch and
reports held-out accuracy. Optionally writes sample patches that the exported model classifies
correctly and confidently.

Needs Debian's python3-torch, python3-torchvision, python3-onnx and python3-opencv; run it with
/usr/bin/python3. Example:
  /usr/bin/python3 tools/train_floor_classifier.py --seed 7 --train-size 3000 --epochs 15 \
      --out models/floor_mobilenet.onnx --samples-dir test/data
"""

import argparse
import os
import sys
import time

import cv2
import numpy as np
import onnx
import torch
import torchvision

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import floor_patches  # noqa: E402

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
    parser.add_argument('--epochs', type=int, default=15)
    parser.add_argument('--batch-size', type=int, default=32)
    parser.add_argument('--learning-rate', type=float, default=3e-3)
    parser.add_argument('--threads', type=int, default=2)
    parser.add_argument('--out', default='models/floor_mobilenet.onnx')
    parser.add_argument('--samples-dir', default=None,
                        help='write 2 confidently recognised sample JPEGs per class here')
    return parser.parse_args()


def preprocess(patches_bgr):
    """The node's preprocessing: resize to 224 bilinear, BGR->RGB, /255, ImageNet mean/std, NCHW."""
    size = (floor_patches.PATCH_SIZE, floor_patches.PATCH_SIZE)
    blobs = []
    for patch in patches_bgr:
        rgb = cv2.cvtColor(cv2.resize(patch, size, interpolation=cv2.INTER_LINEAR),
                           cv2.COLOR_BGR2RGB)
        blobs.append(((rgb.astype(np.float32) / 255.0 - MEAN_RGB) / STD_RGB).transpose(2, 0, 1))
    return np.ascontiguousarray(np.stack(blobs))


def build_model():
    model = torchvision.models.mobilenet_v3_small(num_classes=3)
    # torchvision's MobileNetV3 default (0.01) makes running statistics lag far behind a short
    # from-scratch training run.
    for module in model.modules():
        if isinstance(module, torch.nn.BatchNorm2d):
            module.momentum = 0.1
    return model


def augmented_batch(patches, indices, rng):
    """Random flips and quarter turns: a floor seen from above has no preferred orientation."""
    batch = []
    for index in indices:
        patch = np.rot90(patches[index], int(rng.integers(4)))
        if rng.random() < 0.5:
            patch = patch[:, ::-1]
        batch.append(patch)
    return torch.from_numpy(preprocess(batch)).contiguous(memory_format=torch.channels_last)


def train(model, patches, labels, args):
    rng = np.random.default_rng([args.seed, TRAIN_STREAM])
    steps_per_epoch = len(patches) // args.batch_size
    optimizer = torch.optim.AdamW(model.parameters(), lr=args.learning_rate, weight_decay=1e-4)
    schedule = torch.optim.lr_scheduler.OneCycleLR(
        optimizer, max_lr=args.learning_rate, epochs=args.epochs, steps_per_epoch=steps_per_epoch,
        pct_start=0.2)
    targets = torch.from_numpy(labels.astype(np.int64))
    model.train()
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
        seen = steps_per_epoch * args.batch_size
        print(f'epoch {epoch + 1}/{args.epochs}: loss {loss_sum / steps_per_epoch:.4f}, '
              f'train accuracy {correct / seen:.3f}, {time.time() - started:.0f} s', flush=True)
    model.eval()


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


def export_onnx(model, path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    example = torch.zeros(1, 3, floor_patches.PATCH_SIZE, floor_patches.PATCH_SIZE)
    torch.onnx.export(model, example, path, input_names=['input'], output_names=['output'],
                      opset_version=13, do_constant_folding=True)
    exported = inline_identity_initializers(onnx.load(path))
    onnx.checker.check_model(exported)
    onnx.save(exported, path)


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
    if difference > 1e-3:
        raise RuntimeError('the exported ONNX model does not reproduce the PyTorch logits')


def report(probabilities, labels):
    predictions = probabilities.argmax(axis=1)
    confusion = np.zeros((3, 3), int)
    np.add.at(confusion, (labels, predictions), 1)
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


def main():
    args = parse_arguments()
    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    started = time.time()
    patches, labels = floor_patches.make_dataset(args.train_size, args.seed, TRAIN_STREAM)
    held_out, held_out_labels = floor_patches.make_dataset(args.held_out_size, args.seed,
                                                           HELD_OUT_STREAM)
    print(f'generated {len(patches)} + {len(held_out)} patches in {time.time() - started:.0f} s')
    model = build_model().to(memory_format=torch.channels_last)
    training_started = time.time()
    train(model, patches, labels, args)
    print(f'trained in {time.time() - training_started:.0f} s')
    model = model.to(memory_format=torch.contiguous_format)
    export_onnx(model, args.out)
    print(f'wrote {args.out} ({os.path.getsize(args.out) / 1e6:.1f} MB)')
    net = cv2.dnn.readNetFromONNX(args.out)
    held_out_blobs = preprocess(held_out)
    check_against_pytorch(model, net, held_out_blobs[:30])
    report(softmax(opencv_logits(net, held_out_blobs)), held_out_labels)
    if args.samples_dir:
        write_samples(net, args.samples_dir, args.seed)
    print(f'total {time.time() - started:.0f} s')


if __name__ == '__main__':
    main()
