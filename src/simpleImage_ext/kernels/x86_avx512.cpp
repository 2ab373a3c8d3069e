// The x86-64 kernels with three-input logic (built with -mavx512bw -mavx512vl).
#define KERNEL_LEVEL avx512
#include "kernels/x86_kernels.inl"
