#ifndef NV_INFER_VERSION_H
#define NV_INFER_VERSION_H

// The TensorRT release whose runtime interface the CPU stand-in reproduces, chosen by CMake's
// VELMORA_TENSORRT_STAND_IN_MAJOR: 8 (8.6, the default) or 10 (10.3, as on JetPack 6.1).
#if defined(VELMORA_TENSORRT_STAND_IN_MAJOR) && VELMORA_TENSORRT_STAND_IN_MAJOR == 10
#define NV_TENSORRT_MAJOR 10
#define NV_TENSORRT_MINOR 3
#define NV_TENSORRT_PATCH 0
#define NV_TENSORRT_BUILD 26
#else
#define NV_TENSORRT_MAJOR 8
#define NV_TENSORRT_MINOR 6
#define NV_TENSORRT_PATCH 1
#define NV_TENSORRT_BUILD 6
#endif

#endif  // NV_INFER_VERSION_H
