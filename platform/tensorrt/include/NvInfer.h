#ifndef NV_INFER_H
#define NV_INFER_H

#include "NvInferRuntime.h"

#endif  // NV_INFER_H
