// The x86-64 kernels with 32-byte vectors and byte blends (built with -mavx2).
#define KERNEL_LEVEL avx2
#include "kernels/x86_kernels.inl"
