#ifndef CUDA_STAND_IN_CUDA_RUNTIME_H
#define CUDA_STAND_IN_CUDA_RUNTIME_H

#include "cuda_runtime_api.h"

#endif  // CUDA_STAND_IN_CUDA_RUNTIME_H
