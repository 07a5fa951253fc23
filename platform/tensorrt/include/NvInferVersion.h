#ifndef NV_INFER_VERSION_H
#define NV_INFER_VERSION_H

// The TensorRT release whose runtime interface the CPU stand-in reproduces.
#define NV_TENSORRT_MAJOR 8
#define NV_TENSORRT_MINOR 6
#define NV_TENSORRT_PATCH 1
#define NV_TENSORRT_BUILD 6

#endif  // NV_INFER_VERSION_H
